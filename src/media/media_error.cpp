#include "media/media_error.h"

#include <utility>

namespace sonvale {

Error remote_channel_closed(RemoteChannelClosed details) {
  std::string message = "ZeDidi " + details.channel + " source closed the channel after " +
                        std::to_string(details.bytes_read) + "/" +
                        std::to_string(details.bytes_expected) + " bytes";
  return Error::with_cause(std::move(details), std::move(message));
}

}  // namespace sonvale
