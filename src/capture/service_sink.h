// ServiceSink: the FileSink of a service recording. Its blocks come from a
// ts::ServiceStream: packets to write, and, in stream order, the tables in
// effect from there on (not written). Every part after the first begins with
// those tables, so each part plays alone; their continuity counters are
// chosen so that the next table packet of the stream follows on, and the
// first one says (discontinuity_indicator) that its counter jumps, so the
// parts joined count no continuity error either.
#pragma once

#include <cstdint>

#include "capture/file_sink.h"

namespace corvanlet {

class ServiceSink : public FileSink {
  public:
    using FileSink::FileSink;
    ~ServiceSink() override;

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override;
    void ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length,
                            std::uint8_t tag) override;
    std::uint32_t PartPreamble(std::uint8_t* out) override;
    // A next part begins before the batch: its tables and counters are
    // those as the last batch left them.
    void EndBatch() override;

  private:
    // Writer: takes a tables block; false for a block of packets.
    bool TakeTables(const std::uint8_t* data, std::int32_t length, std::uint8_t tag);
    // Writer: the last counter written on the table PIDs.
    void NoteCounters(const std::uint8_t* data, std::int32_t length);

    // Writer thread (and the exit path, which takes them as the writer left
    // them): as the blocks gathered so far leave them, and as the last
    // batch did. A fresh sink for each service recording starts them empty.
    struct Tables {
        std::uint8_t sections[16 + 1024] = {};  // the PAT section, then the PMT section
        std::uint32_t length = 0;
        bool whole = false;
        std::uint16_t pmtPid = 0;
        std::uint8_t patCounter = 0;
        std::uint8_t pmtCounter = 0;
    };
    Tables now_;
    Tables written_;
    // A tables block being gathered, chunk by chunk.
    std::uint8_t incoming_[16 + 1024] = {};
    std::uint32_t incomingLength_ = 0;
};

}  // namespace corvanlet
