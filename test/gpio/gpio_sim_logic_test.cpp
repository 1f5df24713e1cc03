// Waveforms, attribute text and the small conversions of the sysfs GPIO
// stand-in, tested directly.
#include <errno.h>
#include <gtest/gtest.h>

#include "gpio_sim_logic.h"

namespace {

const int64_t kMs = 1000000;

Wave makeWave(const std::vector<std::string>& words, int64_t start = 5000) {
  Wave wave;
  std::string error;
  EXPECT_TRUE(parseWave(words, start, &wave, &error)) << error;
  return wave;
}

// Counts level changes by looking at every step in [from, to).
int64_t sampledChanges(const Wave& wave, int64_t from, int64_t to, int64_t step) {
  int64_t count = 0;
  int previous = waveLevel(wave, from - 1);
  for (int64_t t = from; t < to; t += step) {
    int level = waveLevel(wave, t);
    if (level != previous) ++count;
    previous = level;
  }
  return count;
}

// Every change in [from, to) that mask selects, found by stepping through
// time ns by ns; and the first selected one after t.
int64_t steppedEdges(const Wave& wave, int mask, int64_t from, int64_t to) {
  int64_t count = 0;
  for (int64_t t = from; t < to; ++t) {
    const int level = waveLevel(wave, t);
    if (level != waveLevel(wave, t - 1) && (mask & (level ? kEdgeRising : kEdgeFalling))) ++count;
  }
  return count;
}

TEST(GpioSimEdges, KeywordsAndActiveLow) {
  EXPECT_EQ(0, edgeMask("none", false));
  EXPECT_EQ(0, edgeMask("none", true));
  EXPECT_EQ(kEdgeRising, edgeMask("rising", false));
  EXPECT_EQ(kEdgeFalling, edgeMask("rising", true));
  EXPECT_EQ(kEdgeFalling, edgeMask("falling", false));
  EXPECT_EQ(kEdgeRising, edgeMask("falling", true));
  EXPECT_EQ(kEdgeRising | kEdgeFalling, edgeMask("both", true));
  EXPECT_EQ(-1, edgeMask("up", false));
}

// Counting and finding the next selected change agree with stepping
// through every nanosecond, for each kind of wave and each edge.
TEST(GpioSimEdges, SelectedChangesMatchASteppedWave) {
  const std::vector<Wave> waves = {
      makeWave({"interval", "1"}, 100),     // a change every 1000 ns
      makeWave({"rpm", "9e6"}, 100),       // every 3333.3 ns
      makeWave({"script", "1@0.0005", "1@0.001", "0@0.0025", "1@0.004"}, 100),
      makeWave({"const", "1"}, 100),
  };
  for (size_t k = 0; k < waves.size(); ++k) {
    for (int mask : {kEdgeRising, kEdgeFalling, kEdgeRising | kEdgeFalling}) {
      SCOPED_TRACE("wave " + std::to_string(k) + " mask " + std::to_string(mask));
      EXPECT_EQ(steppedEdges(waves[k], mask, 0, 12000), waveEdgeChanges(waves[k], mask, 0, 12000));
      EXPECT_EQ(steppedEdges(waves[k], mask, 2100, 7100), waveEdgeChanges(waves[k], mask, 2100, 7100));
      EXPECT_EQ(0, waveEdgeChanges(waves[k], 0, 0, 12000));
      for (int64_t t : {int64_t(0), int64_t(1100), int64_t(1101), int64_t(3433), int64_t(5000)}) {
        const int64_t next = waveNextEdge(waves[k], mask, t);
        if (next == INT64_MAX) {
          EXPECT_EQ(0, steppedEdges(waves[k], mask, t + 1, 20000)) << "after " << t;
        } else {
          EXPECT_EQ(0, steppedEdges(waves[k], mask, t + 1, next)) << "after " << t;
          EXPECT_EQ(1, steppedEdges(waves[k], mask, next, next + 1)) << "after " << t;
        }
      }
    }
  }
  EXPECT_EQ(INT64_MAX, waveNextEdge(makeWave({"rpm", "0"}), kEdgeRising | kEdgeFalling, 0));
  EXPECT_EQ(INT64_MAX, waveNextEdge(waves[0], 0, 0));
}

TEST(GpioSimWave, IntervalChangesAtEveryMultipleAfterStart) {
  const Wave w = makeWave({"interval", "1000"}, 5000);
  EXPECT_EQ(0, waveLevel(w, 5000));
  EXPECT_EQ(0, waveLevel(w, 5000 + kMs - 1));
  EXPECT_EQ(1, waveLevel(w, 5000 + kMs));
  EXPECT_EQ(0, waveLevel(w, 5000 + 2 * kMs));
  EXPECT_EQ(9, waveChanges(w, 5000, 5000 + 10 * kMs));
  EXPECT_EQ(10, waveChanges(w, 5000, 5000 + 10 * kMs + 1));
  EXPECT_EQ(1, waveChanges(w, 5000 + kMs, 5000 + kMs + 1));
  EXPECT_EQ(0, waveChanges(w, 5000 + kMs + 1, 5000 + 2 * kMs));
  EXPECT_EQ(0, waveChanges(w, 0, 5000));
  EXPECT_EQ(0, waveChanges(w, 5000 + 10 * kMs, 5000));
}

TEST(GpioSimWave, RpmIsOnePulsePerRevolution) {
  // 600 rpm: ten pulses, twenty changes a second, one every 50 ms.
  const Wave w = makeWave({"rpm", "600"}, 0);
  EXPECT_EQ(20, waveChanges(w, 1, 1000 * kMs + 1));
  EXPECT_EQ(0, waveLevel(w, 50 * kMs - 1));
  EXPECT_EQ(1, waveLevel(w, 50 * kMs));
  // Fractional: 0.5 rpm changes once a minute.
  const Wave slow = makeWave({"rpm", "0.5"}, 0);
  EXPECT_EQ(1, waveChanges(slow, 0, 60001 * kMs));
  EXPECT_EQ(0, waveChanges(slow, 0, 59999 * kMs));
  // A stopped wheel never changes.
  const Wave stopped = makeWave({"rpm", "0"}, 0);
  EXPECT_EQ(0, waveChanges(stopped, 0, 100000 * kMs));
  EXPECT_EQ(0, waveLevel(stopped, 100000 * kMs));
}

TEST(GpioSimWave, ScriptHoldsLastLevelAndCountsOnlyRealChanges) {
  const Wave w = makeWave({"script", "1@0", "1@5", "0@10", "1@20.5"}, 1000);
  EXPECT_EQ(0, waveLevel(w, 999));
  EXPECT_EQ(1, waveLevel(w, 1000));
  EXPECT_EQ(0, waveLevel(w, 1000 + 10 * kMs));
  EXPECT_EQ(1, waveLevel(w, 1000 + 20500000));
  EXPECT_EQ(1, waveLevel(w, 1000 + 99999 * kMs));
  EXPECT_EQ(3, waveChanges(w, 0, 1000 + 21 * kMs));
  EXPECT_EQ(1, waveChanges(w, 1000 + 1, 1000 + 20 * kMs));
}

TEST(GpioSimWave, CountsAgreeWithTheLevelsAReaderSees) {
  const std::vector<std::vector<std::string>> waves = {
      {"interval", "1000"}, {"rpm", "1234.5"}, {"script", "1@1", "0@1.5", "0@2", "1@7"}};
  for (const auto& words : waves) {
    const Wave w = makeWave(words, 777);
    for (int64_t from : {int64_t(0), int64_t(777), int64_t(1300000), int64_t(2500017)}) {
      const int64_t to = from + 12 * kMs + 333;
      EXPECT_EQ(sampledChanges(w, from, to, 1000), waveChanges(w, from, to)) << words[0] << " from " << from;
    }
  }
}

TEST(GpioSimWave, RejectsWhatIsNotAWave) {
  Wave w;
  std::string error;
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{"const", "2"}, {"const"}, {"interval", "0"},
                                             {"interval", "-5"}, {"interval", "1.5"}, {"rpm", "-1"},
                                             {"rpm", "fast"}, {"rpm", "nan"}, {"script"},
                                             {"script", "1@5", "0@5"}, {"script", "2@0"},
                                             {"script", "1-5"}, {"sine", "3"}, {}}) {
    error.clear();
    EXPECT_FALSE(parseWave(words, 0, &w, &error)) << (words.empty() ? "" : words[0]);
    EXPECT_FALSE(error.empty());
  }
}

TEST(GpioSimAttribute, TakesTextUpToTheZeroByteWithoutOneNewline) {
  EXPECT_EQ("out", attributeText("out\0", 4));
  EXPECT_EQ("397", attributeText("397\n", 4));
  EXPECT_EQ("in", attributeText("in\n\0\0", 5));
  EXPECT_EQ("in\n", attributeText("in\n\n", 4));
  EXPECT_EQ("", attributeText("\0", 1));
  EXPECT_EQ("ou", attributeText("ou\0t", 4));
}

TEST(GpioSimAttribute, IntegersAreReadAsTheKernelReadsThem) {
  long v = 0;
  EXPECT_TRUE(parseKernelInteger("397", &v));
  EXPECT_EQ(397, v);
  EXPECT_TRUE(parseKernelInteger("0x10", &v));
  EXPECT_EQ(16, v);
  EXPECT_TRUE(parseKernelInteger("010", &v));
  EXPECT_EQ(8, v);
  EXPECT_TRUE(parseKernelInteger("-1", &v));
  EXPECT_EQ(-1, v);
  for (const char* bad : {"", " 1", "12a", "1 ", "abc", "99999999999999999999999"}) {
    EXPECT_FALSE(parseKernelInteger(bad, &v)) << bad;
  }
}

TEST(GpioSimControl, ConversionsOfTheControlProtocol) {
  EXPECT_EQ("333937", hexBytes("397"));
  EXPECT_EQ("6f757400", hexBytes(std::string("out\0", 4)));
  EXPECT_EQ("ff", hexBytes("\xff"));
  int e = 0;
  EXPECT_TRUE(errnoFromName("EACCES", &e));
  EXPECT_EQ(EACCES, e);
  EXPECT_FALSE(errnoFromName("EWHATEVER", &e));
  EXPECT_EQ((std::vector<std::string>{"wave", "397", "rpm", "600"}), splitWords(" wave\t397  rpm 600\r"));
  int n = 0;
  EXPECT_FALSE(parseDecimalInt("4294967296", &n));
  EXPECT_FALSE(parseDecimalInt("+3", &n));
  EXPECT_TRUE(parseDecimalInt("-3", &n));
  EXPECT_EQ(-3, n);
}

}  // namespace
