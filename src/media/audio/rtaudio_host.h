#pragma once

#include <memory>

#include "media/audio/audio_host.h"

namespace sonvale::audio {

// The audio host over RtAudio: CoreAudio on a Mac; on Linux PulseAudio when its server lists a
// device, else ALSA. Device identifiers are RtAudio's device names (RtAudio has no stable ids),
// so an id text reads "pulse:<name>", "alsa:<name>" or "coreaudio:<name>". RtAudio has no
// unsigned 16-bit samples: a u16 stream runs as i16 with the top bit flipped.
std::unique_ptr<AudioHost> make_rtaudio_host();

}  // namespace sonvale::audio
