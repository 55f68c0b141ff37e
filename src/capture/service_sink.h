// ServiceSink: the FileSink of a service recording. The ring holds what the
// host delivered, unchanged, as for any recording: the host's thread does
// the same small work in every mode. The writer feeds it through a
// ts::ServiceStream, which makes of it a stream that plays on its own, and
// writes that.
//
// Every part after the first begins with the tables in effect at its first
// packet; their continuity counters are chosen so that the next table
// packet of the stream follows on, and the first one says
// (discontinuity_indicator) that its counter jumps, so the parts joined
// count no continuity error either. That is decided in one place
// (PartPreamble), for a part begun by a split, by a refused write, or by
// the exit path.
//
// The exit path replays the ring's last blocks through a stream of its own,
// started from what the writer's stream remembered at its last finished
// batch (a writer not yet ended may still be using its own).
#pragma once

#include <cstdint>

#include "capture/file_sink.h"
#include "ts/service_stream.h"

namespace corvanlet {

class ServiceSink : public FileSink {
  public:
    using FileSink::FileSink;
    ~ServiceSink() override;

    // Control thread, before OpenFile: the service to record. `notify`
    // runs, on the writer thread, when the PIDs the service wants change.
    void StartService(std::uint16_t serviceId, ts::ServiceStream::Notify notify, void* context,
                      const ts::TextOptions& text = {});
    // Any thread: the writer's service stream (the PIDs it wants, its figures).
    const ts::ServiceStream& Service() const { return writer_.stream; }

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override;
    void ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length,
                            std::uint8_t tag) override;
    void AfterGap() override;
    void AfterGapAtExit() override;
    std::uint64_t Mark() override;
    void RecoverTo(std::uint64_t mark) override;
    std::uint32_t PartPreamble(std::uint8_t* out, const PartStart& start) override;
    void AfterBatchWritten(bool byWriter) override;

  private:
    // The generated tables in effect (the PAT section, the PMT section, then
    // the SDT and EIT present/following sections the stream has), and the
    // counters last written on their PIDs.
    enum TablePid : std::uint8_t { kPatSlot, kPmtSlot, kSdtSlot, kEitSlot, kTableSlots };
    struct Tables {
        std::uint8_t sections[ts::ServiceStream::kMaxTables] = {};
        std::uint32_t length = 0;
        bool whole = false;
        std::uint16_t pmtPid = 0;
        std::uint8_t counters[kTableSlots] = {};
        std::uint16_t PidOf(TablePid slot) const;
        // The slot of a section's PID, by its table_id.
        static TablePid SlotOf(std::uint8_t tableId);
    };
    // Where in the batch being gathered the tables changed (a new version,
    // a moved PMT): a part begun before that point begins with the tables
    // from before.
    struct Change {
        std::uint32_t at = 0;
        Tables tables;
    };
    static constexpr std::uint32_t kMaxChanges = 4;
    // One path's stream and tables: the writer's, and the exit path's own.
    struct Path {
        ServiceSink* sink = nullptr;
        bool byWriter = true;
        ts::ServiceStream stream;
        Tables now;         // as the blocks gathered so far leave them
        Tables batchStart;  // as the batch being gathered began
        Change changes[kMaxChanges];
        std::uint32_t changeCount = 0;
        std::uint8_t incoming[ts::ServiceStream::kMaxTables] = {};  // a tables block being gathered
        std::uint32_t incomingLength = 0;
    };
    // What the writer's path remembered at a finished batch.
    struct Saved {
        ts::ServiceStream::Memory stream;
        Tables now;
        std::uint8_t incoming[ts::ServiceStream::kMaxTables] = {};
        std::uint32_t incomingLength = 0;
    };

    static void Emit(void* path, const std::uint8_t* data, std::int32_t length, std::uint8_t tag);
    static void Notify(void* path);
    // Takes a tables block; false for a block of packets.
    static bool TakeTables(Path& path, const std::uint8_t* data, std::int32_t length,
                           std::uint8_t tag);
    void NoteTables(Path& path, const Tables& tables);
    // The last counter written on the table PIDs.
    static void NoteCounters(Tables& tables, const std::uint8_t* data, std::int32_t length);
    static void Save(const Path& path, Saved& out);
    static void Load(const Saved& in, Path& path);
    // The tables in effect at byte `from` of the path's batch.
    static const Tables& TablesAt(const Path& path, std::uint32_t from);

    std::uint16_t serviceId_ = 0;
    ts::ServiceStream::Notify notify_ = nullptr;
    void* notifyContext_ = nullptr;
    Path writer_;
    Path exit_;
    // Filled by Mark in the slot its sequence number names (the other one
    // is the last commit's, which the exit path may read).
    Saved saved_[2];
};

}  // namespace corvanlet
