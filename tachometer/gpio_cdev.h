// The few structures and requests of the kernel's GPIO character device
// that the tachometer's --events mode uses. The board's Ubuntu 16.04
// headers have no linux/gpio.h, so they are carried here, laid out as the
// kernel's ABI has them; the node asks the running kernel what it offers.
#ifndef PELMORA_TACHOMETER_GPIO_CDEV_H
#define PELMORA_TACHOMETER_GPIO_CDEV_H

#include <stdint.h>
#include <sys/ioctl.h>

const int kCdevNameSize = 32;
const int kCdevLinesMax = 64;
const int kCdevAttributesMax = 10;

// GPIO_GET_CHIPINFO_IOCTL (4.8)
struct CdevChipInfo {
  char name[kCdevNameSize];
  char label[kCdevNameSize];
  uint32_t lines;
};

// v1 line events (4.8): GPIO_GET_LINEEVENT_IOCTL
struct CdevEventRequest {
  uint32_t lineOffset;
  uint32_t handleFlags;
  uint32_t eventFlags;
  char consumer[kCdevNameSize];
  int32_t fd;
};

struct CdevEventData {
  uint64_t timestampNs;
  uint32_t id;
  // The kernel's 64-bit layout pads the record to 8 bytes.
  uint32_t padding;
};

// v2 line requests (5.10): GPIO_V2_GET_LINE_IOCTL
struct CdevAttribute {
  uint32_t id;
  uint32_t padding;
  uint64_t value;
};

struct CdevConfigAttribute {
  CdevAttribute attribute;
  uint64_t mask;
};

struct CdevConfig {
  uint64_t flags;
  uint32_t attributeCount;
  uint32_t padding[5];
  CdevConfigAttribute attributes[kCdevAttributesMax];
};

struct CdevLineRequest {
  uint32_t offsets[kCdevLinesMax];
  char consumer[kCdevNameSize];
  CdevConfig config;
  uint32_t lineCount;
  uint32_t eventBufferSize;
  uint32_t padding[5];
  int32_t fd;
};

struct CdevLineEvent {
  uint64_t timestampNs;
  uint32_t id;
  uint32_t offset;
  uint32_t seqno;
  uint32_t lineSeqno;
  uint32_t padding[6];
};

// Sizes the kernel checks the requests against (they are in the numbers).
static_assert(sizeof(CdevChipInfo) == 68, "gpiochip_info");
static_assert(sizeof(CdevEventRequest) == 48, "gpioevent_request");
static_assert(sizeof(CdevEventData) == 16, "gpioevent_data");
static_assert(sizeof(CdevConfig) == 272, "gpio_v2_line_config");
static_assert(sizeof(CdevLineRequest) == 592, "gpio_v2_line_request");
static_assert(sizeof(CdevLineEvent) == 48, "gpio_v2_line_event");

const unsigned long kCdevChipInfoIoctl = _IOR(0xB4, 0x01, CdevChipInfo);
const unsigned long kCdevLineEventIoctl = _IOWR(0xB4, 0x04, CdevEventRequest);
const unsigned long kCdevLineIoctl = _IOWR(0xB4, 0x07, CdevLineRequest);

const uint32_t kCdevV1Input = 1u << 0;       // GPIOHANDLE_REQUEST_INPUT
const uint32_t kCdevV1BothEdges = 3u;        // GPIOEVENT_REQUEST_BOTH_EDGES
const uint32_t kCdevV1Rising = 1u;           // GPIOEVENT_EVENT_RISING_EDGE
const uint64_t kCdevV2Input = 1u << 2;       // GPIO_V2_LINE_FLAG_INPUT
const uint64_t kCdevV2BothEdges = 3u << 4;   // GPIO_V2_LINE_FLAG_EDGE_RISING | _FALLING
const uint32_t kCdevV2Rising = 1u;           // GPIO_V2_LINE_EVENT_RISING_EDGE
// The largest event buffer a v2 request gets (16 per line, 64 lines).
const uint32_t kCdevV2BufferMax = 1024;

#endif
