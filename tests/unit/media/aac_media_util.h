#pragma once

// Real AAC-LC test media made at test time by the ffmpeg command-line tool.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace sonvale::testing {

// Runs ffmpeg with `args` writing ADTS to a temporary file and returns its bytes (empty on
// failure, with a test failure recorded).
inline Bytes ffmpeg_adts(const std::string& args) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("sonvale-aac-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "out.aac";
  const std::string cmd =
      "ffmpeg -nostdin -v error -y " + args + " -c:a aac -f adts '" + path.string() + "'";
  const int rc = std::system(cmd.c_str());
  Bytes out;
  if (rc == 0) {
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(rc, 0) << cmd;
  EXPECT_FALSE(out.empty()) << cmd;
  return out;
}

// The frames of an ADTS file, cut by their declared lengths.
inline std::vector<Bytes> split_adts(const Bytes& file) {
  std::vector<Bytes> frames;
  std::size_t pos = 0;
  while (pos + 7 <= file.size()) {
    const std::size_t len = (std::size_t{file[pos + 3]} & 3) << 11 |
                            std::size_t{file[pos + 4]} << 3 | std::size_t{file[pos + 5]} >> 5;
    if (len < 7 || pos + len > file.size()) break;
    frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos),
                        file.begin() + static_cast<std::ptrdiff_t>(pos + len));
    pos += len;
  }
  return frames;
}

inline Bytes join(const std::vector<Bytes>& frames, std::size_t from = 0,
                  std::size_t to = SIZE_MAX) {
  Bytes out;
  for (std::size_t i = from; i < frames.size() && i < to; ++i)
    out.insert(out.end(), frames[i].begin(), frames[i].end());
  return out;
}

inline const char* kToneArgs =
    "-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=1 -ac 2 -ar 48000";

}  // namespace sonvale::testing
