#pragma once

// The command ids of control frames (the header's command byte). The phone's commands and the
// receiver's answers share one space: an answer usually takes its command's id plus one. Frames
// of outer type kOuterReport carry ids of their own (kReport*).

#include <cstdint>

namespace sonvale::control_command {

// A plain body starts the handshake and is answered with the receiver's capabilities; an
// encrypted body is the Open command with the cast's wfd:// address, answered with five zeros.
inline constexpr std::uint8_t kStart = 0;
inline constexpr std::uint8_t kStartAck = 1;
// SafetyAuth {"authMsg"}: the phone's challenge, and the receiver's own.
inline constexpr std::uint8_t kSafetyAuth = 2;
// SafetyAuth_Ack {"authMsgAck"}: in both directions.
inline constexpr std::uint8_t kSafetyAuthAck = 3;
// The phone paused or resumed by itself. The phone also sends the answer ids, as its own
// acknowledgements of media controls.
inline constexpr std::uint8_t kPauseReport = 4;
inline constexpr std::uint8_t kPauseReportAck = 5;
inline constexpr std::uint8_t kResumeReport = 6;
inline constexpr std::uint8_t kResumeReportAck = 7;
inline constexpr std::uint8_t kSetVolume = 12;
inline constexpr std::uint8_t kSetVolumeAck = 13;
inline constexpr std::uint8_t kGetVolume = 14;
inline constexpr std::uint8_t kGetVolumeAck = 15;
inline constexpr std::uint8_t kMediaInfoReport = 18;
inline constexpr std::uint8_t kMediaInfoReportAck = 19;
// The connection becomes the preferred route of host commands; answered with a notification.
inline constexpr std::uint8_t kReverseControlReady = 20;
inline constexpr std::uint8_t kEmptyAckRequest = 26;
inline constexpr std::uint8_t kEmptyAck = 27;
inline constexpr std::uint8_t kPlaybackStateQuery = 28;
inline constexpr std::uint8_t kPlaybackState = 29;
inline constexpr std::uint8_t kDeviceInfoQuery = 30;
inline constexpr std::uint8_t kDeviceInfo = 31;
// The receiver's notifications: volume, media information, key commands, initial state.
inline constexpr std::uint8_t kNotify = 0x22;
// The receiver's first frame on a new connection: its 14-digit code.
inline constexpr std::uint8_t kReceiverCode = 40;
// Answered with three plain notifications: mode, empty media information, state.
inline constexpr std::uint8_t kInitialStateRequest = 41;
inline constexpr std::uint8_t kFixedStatusQuery = 52;
inline constexpr std::uint8_t kFixedStatus = 53;
inline constexpr std::uint8_t kVersionQuery = 54;
inline constexpr std::uint8_t kVersion = 55;
inline constexpr std::uint8_t kPlaySource = 64;
inline constexpr std::uint8_t kPlaySourceAck = 65;
// Further acknowledgements of media controls by the phone; the receiver never answers them.
inline constexpr std::uint8_t kMediaControlAck69 = 69;
inline constexpr std::uint8_t kMediaControlAck71 = 71;
inline constexpr std::uint8_t kMediaControlAck73 = 73;
inline constexpr std::uint8_t kMediaControlAck75 = 75;
inline constexpr std::uint8_t kMediaControlAck77 = 77;
inline constexpr std::uint8_t kPositionReport = 86;
inline constexpr std::uint8_t kPositionReportAck = 87;
inline constexpr std::uint8_t kSourceInfo = 88;
inline constexpr std::uint8_t kSourceInfoAck = 89;
inline constexpr std::uint8_t kPlaybackSnapshot = 94;
inline constexpr std::uint8_t kPlaybackSnapshotAck = 95;
// SetMirrorKey {"authKey", "streamKey", "streamIV"}: the media stream's keys.
inline constexpr std::uint8_t kSetMirrorKey = 108;
inline constexpr std::uint8_t kSetMirrorKeyAck = 109;

// Frames of outer type kOuterReport; their answers go out under that outer type too.
inline constexpr std::uint8_t kReportPlaybackSnapshot = 0x14;
inline constexpr std::uint8_t kReportPlaybackSnapshotAck = 0x15;
inline constexpr std::uint8_t kReportPlaybackStateQuery = 0x16;
inline constexpr std::uint8_t kReportPlaybackState = 0x17;
inline constexpr std::uint8_t kReportMediaInfo = 0x18;
inline constexpr std::uint8_t kReportMediaInfoAck = 0x19;

}  // namespace sonvale::control_command
