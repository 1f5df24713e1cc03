// The tachometer's health; see health.h.
#include "health.h"

#include <stdio.h>

#include "car.h"

int healthLevel(const HealthFacts& facts, std::string* message) {
  int level = kHealthOk;
  message->clear();
  char text[96];
  if (facts.sincePublishMs >= kStaleMs && facts.sinceChangeMs >= 0.0 && facts.sinceChangeMs < kStaleMs) {
    snprintf(text, sizeof text, "nothing published for %.1f s while the wheel turns", facts.sincePublishMs / 1000.0);
    *message = text;
    level = kHealthStale;
  }
  if (!facts.lineReadable) {
    *message += message->empty() ? "" : "; ";
    snprintf(text, sizeof text, "line %d cannot be read", kSensorLine);
    *message += text;
    if (level == kHealthOk) level = kHealthWarn;
  }
  if (facts.lostLastSecond > 0) {
    snprintf(text, sizeof text, "%lld level changes lost in the last second", facts.lostLastSecond);
    *message += message->empty() ? "" : "; ";
    *message += text;
    if (level == kHealthOk) level = kHealthWarn;
  }
  if (level == kHealthOk) *message = "measuring";
  return level;
}
