#include "ts/service_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "ts/packet.h"
#include "ts/si_tables.h"

namespace corvanlet::ts {

void ServiceList::Reset(const TextOptions& text) {
    text_ = text;
    pat_.Reset();
    sdt_.Reset();
    partialBytes_ = 0;
    transportStreamId_ = 0;
    patVersion_ = 0xFF;
    const std::uint32_t changes = view_.changes;
    view_.count = 0;
    view_.havePat = view_.haveSdt = false;
    view_.changes = changes + 1;
}

void ServiceList::NoteGap() {
    partialBytes_ = 0;
    pat_.Reset();
    sdt_.Reset();
}

void ServiceList::Feed(const std::uint8_t* data, std::int32_t length) {
    std::int32_t at = 0;
    while (data != nullptr && at < length) {
        if (partialBytes_ == 0 && data[at] != kSync) {  // out of step: find the next packet
            ++at;
            continue;
        }
        const std::int32_t taken = std::min(kPacketSize - partialBytes_, length - at);
        std::memcpy(partial_ + partialBytes_, data + at, static_cast<std::size_t>(taken));
        partialBytes_ += taken;
        at += taken;
        if (partialBytes_ < kPacketSize) return;
        partialBytes_ = 0;
        OnPacket(partial_);
    }
}

void ServiceList::OnPacket(const std::uint8_t* packet) {
    if (Pid(packet) == kPatPid) pat_.Feed(packet, &ServiceList::OnPatSection, this);
    if (Pid(packet) == kSdtPid) sdt_.Feed(packet, &ServiceList::OnSdtSection, this);
}

void ServiceList::OnPatSection(void* self, const std::uint8_t* section, std::size_t length) {
    auto* list = static_cast<ServiceList*>(self);
    if (ParsePat(section, length, list->patScratch_) && list->patScratch_.current) {
        list->OnPat(list->patScratch_);
    }
}

// Each section adds its programs; a new version, or another transport
// stream, begins the list again.
void ServiceList::OnPat(const Pat& pat) {
    const bool fresh = pat.version != patVersion_ || pat.transportStreamId != transportStreamId_;
    if (fresh && view_.havePat) view_.count = 0;
    patVersion_ = pat.version;
    transportStreamId_ = pat.transportStreamId;
    bool changed = fresh && !view_.havePat;
    view_.havePat = true;
    for (std::uint16_t i = 0; i < pat.count; ++i) {
        const std::uint16_t id = pat.programs[i].programNumber;
        if (id == 0 || Find(id) != nullptr || view_.count == ServiceListView::kMaxServices)
            continue;
        ServiceEntry& entry = view_.services[view_.count++];
        entry = ServiceEntry{};
        entry.id = id;
        changed = true;
    }
    if (changed || fresh) Sort();
}

void ServiceList::OnSdtSection(void* self, const std::uint8_t* section, std::size_t length) {
    static_cast<ServiceList*>(self)->OnSdt(section, length);
}

// Names the listed services this section describes.
void ServiceList::OnSdt(const std::uint8_t* section, std::size_t length) {
    SdtHeader header;
    SdtService none;
    (void)FindSdtService(section, length, 0xFFFF, header,
                         none);  // only checks and reads the header
    if (!header.current || (view_.havePat && header.transportStreamId != transportStreamId_))
        return;
    view_.haveSdt = true;
    bool changed = false;
    for (std::uint32_t i = 0; i < view_.count; ++i) {
        ServiceEntry& entry = view_.services[i];
        SdtService service;
        if (!FindSdtService(section, length, entry.id, header, service)) continue;
        ServiceEntry named = entry;
        named.named = true;
        named.freeCa = service.freeCa;
        ServiceDescriptor descriptor;
        if (FindServiceDescriptor(service.descriptors, service.descriptorsLength, descriptor)) {
            named.type = descriptor.serviceType;
            DecodeText(descriptor.name, descriptor.nameLength, named.name, sizeof named.name,
                       text_);
        }
        if (named.name[0] == '\0') named.named = false;  // an entry without a name names nothing
        changed = changed || std::memcmp(&named, &entry, sizeof entry) != 0;
        entry = named;
    }
    if (changed) Sort();
}

ServiceEntry* ServiceList::Find(std::uint16_t id) {
    for (std::uint32_t i = 0; i < view_.count; ++i) {
        if (view_.services[i].id == id) return &view_.services[i];
    }
    return nullptr;
}

namespace {

int CompareNames(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int x = std::tolower(static_cast<unsigned char>(*a));
        const int y = std::tolower(static_cast<unsigned char>(*b));
        if (x != y || x == 0) return x - y;
    }
}

}  // namespace

void ServiceList::Sort() {
    std::sort(view_.services, view_.services + view_.count,
              [](const ServiceEntry& a, const ServiceEntry& b) {
                  if (a.named != b.named) return a.named;
                  if (!a.named) return a.id < b.id;
                  const int names = CompareNames(a.name, b.name);
                  return names != 0 ? names < 0 : a.id < b.id;
              });
    ++view_.changes;
}

}  // namespace corvanlet::ts
