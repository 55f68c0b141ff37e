// The service information a recording of one service keeps (ETSI EN 300
// 468): the service description table of its own transport stream (SDT
// actual, table_id 0x42 on PID 0x11), rewritten to the recorded service, and
// the event information of that service (EIT actual, present/following
// 0x4E and schedule 0x50 to 0x5F, on PID 0x12), kept as it came. Also what
// the recording shows of them: the service's name and provider, and the
// present event's time and title.
//
// Every function takes untrusted bytes: a Parse or Find that returns false
// leaves nothing of use, and nothing is read outside what it is given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts {

constexpr std::uint16_t kSdtPid = 0x11;  // SDT, BAT
constexpr std::uint16_t kEitPid = 0x12;
constexpr std::uint16_t kTdtPid = 0x14;  // TDT, TOT
constexpr std::uint8_t kSdtActual = 0x42;
constexpr std::uint8_t kEitPresentFollowing = 0x4E;

// One service's entry in an SDT section; descriptors point into it.
struct SdtService {
    std::uint16_t serviceId = 0;
    std::uint8_t flags = 0;          // the byte of EIT_schedule_flag and EIT_present_following_flag
    std::uint8_t runningStatus = 0;  // 0 undefined, 1 not running ... 4 running, 5 off air
    bool freeCa = false;             // some of its streams are scrambled
    const std::uint8_t* descriptors = nullptr;
    std::uint16_t descriptorsLength = 0;
};

struct SdtHeader {
    std::uint16_t transportStreamId = 0;
    std::uint16_t originalNetworkId = 0;
    std::uint8_t version = 0;
    bool current = false;
};

// Finds `serviceId` in an SDT actual section; false when the section does
// not check or does not list it (`header` is set whenever it checks).
bool FindSdtService(const std::uint8_t* section, std::size_t length, std::uint16_t serviceId,
                    SdtHeader& header, SdtService& out);

// An SDT actual of one section (0 of 0), current, listing `service` alone
// as it was (its flags and its descriptors), with the source's
// transport_stream_id and original_network_id. out has room for 1024 bytes;
// returns the section's length, 0 when the entry does not fit.
std::size_t BuildSdt(const SdtHeader& source, const SdtService& service, std::uint8_t version,
                     std::uint8_t* out);

// The service_descriptor (0x48) of a descriptor loop: raw text, not decoded.
// A name or provider whose length runs past the descriptor is cut there, and
// `cut` says so.
struct ServiceDescriptor {
    std::uint8_t serviceType = 0;
    const std::uint8_t* provider = nullptr;
    std::uint8_t providerLength = 0;
    const std::uint8_t* name = nullptr;
    std::uint8_t nameLength = 0;
    bool cut = false;
};
bool FindServiceDescriptor(const std::uint8_t* descriptors, std::size_t length,
                           ServiceDescriptor& out);

// Whether a service_type is sound only (digital radio, advanced codec radio).
bool IsRadio(std::uint8_t serviceType);

// The header of an EIT section of any table (0x4E to 0x6F) that checks.
struct EitHeader {
    std::uint8_t tableId = 0;
    std::uint16_t serviceId = 0;
    std::uint8_t version = 0;
    bool current = false;
    std::uint8_t sectionNumber = 0;
    std::uint16_t transportStreamId = 0;
    std::uint16_t originalNetworkId = 0;
};
bool ParseEitHeader(const std::uint8_t* section, std::size_t length, EitHeader& out);
// Whether an EIT section belongs to the recording of `serviceId`: of the
// actual transport stream (present/following or schedule), current.
bool KeptEit(const EitHeader& header, std::uint16_t serviceId);

// The first event of an EIT section; in a present/following table, section
// 0 holds the present event and section 1 the following.
struct EitEvent {
    std::uint16_t eventId = 0;
    std::int64_t start = -1;     // seconds since 1970-01-01 UTC; -1: not given
    std::uint32_t duration = 0;  // seconds
    std::uint8_t runningStatus = 0;
    bool freeCa = false;
    const std::uint8_t* descriptors = nullptr;
    std::uint16_t descriptorsLength = 0;
};
bool FirstEvent(const std::uint8_t* section, std::size_t length, EitEvent& out);

// The event_name of the first short_event_descriptor (0x4D) of a loop; false
// when there is none. A name that runs past the descriptor is cut (`cut`).
bool FindEventName(const std::uint8_t* descriptors, std::size_t length, const std::uint8_t*& name,
                   std::uint8_t& nameLength, bool& cut);

// A UTC time as SI codes it (16 bits of Modified Julian Date, then hours,
// minutes and seconds in BCD), in seconds since 1970; -1 for all ones (not
// given) or digits that are not BCD.
std::int64_t SiTime(const std::uint8_t* field);
// A duration in BCD (hours, minutes, seconds), in seconds; 0 when not BCD.
std::uint32_t SiDuration(const std::uint8_t* field);

}  // namespace corvanlet::ts
