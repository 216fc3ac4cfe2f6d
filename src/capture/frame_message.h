#pragma once

#include <cstdint>
#include <string>

namespace qova {

// What the agent learns about one frame; every member is written as a JSON integer.
struct FrameHeader {
  int64_t width = 0;        // of the JPEG that follows
  int64_t height = 0;
  int64_t inputWidth = 0;   // of the captured display, unscaled
  int64_t inputHeight = 0;
  int64_t bytes = 0;        // JPEG bytes that follow the header line
  int64_t timestamp = 0;    // wall-clock milliseconds since 1970 at encoding
};

// The header line of a frame message: the frame marker, the compact JSON header, a line feed.
// The JPEG bytes follow it directly; the agent finds the end of the message from "bytes" alone.
std::string frameHeaderLine(const FrameHeader& header);

// Whole milliseconds of the wall clock since 1970-01-01 00:00 UTC, any fraction cut off.
int64_t wallClockMilliseconds();

}  // namespace qova
