#pragma once

#include <cstddef>
#include <string>

#include "core/error.h"

namespace sonvale {

// The media pipeline's own error cause: the phone closed a media connection in an orderly way.
struct RemoteChannelClosed {
  std::string channel;  // "rtsp" or "audio"
  std::size_t bytes_read = 0;
  std::size_t bytes_expected = 0;
};

// "ZeDidi <channel> source closed the channel after <read>/<expected> bytes", with the details
// as its cause.
Error remote_channel_closed(RemoteChannelClosed details);

// The details when `error` is (beneath any context) a RemoteChannelClosed; null otherwise.
inline const RemoteChannelClosed* remote_closed_details(const Error& error) {
  return error.cause<RemoteChannelClosed>();
}

}  // namespace sonvale
