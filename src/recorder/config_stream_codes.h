// The bytes of the slow configuration stream that the recorder sends one
// byte per block (status byte S[24]): the DLE framing and the opening code
// of each record type. The encoder writes them and the decoders read them;
// this is their only definition.
#pragma once

#include <cstdint>

namespace velt::recorder {

// Framing: DLE + opening code starts a record, DLE ETX ends it, DLE DLE is
// one data byte 0x10.
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kConfigFiller = 0x00;  // sent when no record is queued

// Opening codes.
constexpr uint8_t kCodeSampleRate = 0xFF;
constexpr uint8_t kCodeStationName = 0xFE;
constexpr uint8_t kCodeChannelName = 0xFD;
constexpr uint8_t kCodeBegin = 0xFA;
constexpr uint8_t kCodeEnd = 0xFC;
constexpr uint8_t kCodeDelay = 0xEF;
constexpr uint8_t kCodeSensorText = 0xEE;
constexpr uint8_t kCodeChannelParams = 0xED;
constexpr uint8_t kCodeIgnored = 0xEC;
constexpr uint8_t kCodePosition = 0xF0;

}  // namespace velt::recorder
