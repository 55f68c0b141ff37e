// FileSink: the BlockRing that appends every block, unchanged, to one output
// file. A recording runs exactly while the sink has a file open.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/block_ring.h"
#include "ts/continuity_check.h"
#include "platform/platform.h"

namespace corvanlet {

// What a recording may end or split by; 0 in a field means never.
struct RecordingLimits {
    std::uint64_t splitBytes = 0;       // a next part before this part would pass it
    std::uint64_t stopAfterBytes = 0;   // end with the first block that passes it
    std::uint64_t stopAfterMs = 0;      // end this long after the start (no wrap: 64 bits)
    std::uint64_t minFreeBytes = 0;     // no start, and an end, below this much free space
    std::uint32_t spaceCheckMs = 5000;  // how often the free space is looked at while recording
};

class FileSink : public BlockRing {
  public:
    // The ring: 16 MiB unless told otherwise, about 1.6 s of a whole
    // transponder, enough to ride out the stalls of an ordinary disk.
    static constexpr std::int32_t kCapacity = 16 * 1024 * 1024;
    // When that much storage cannot be had, half and half again, down to this.
    static constexpr std::int32_t kSmallestCapacity = 100 * 1024;
    static constexpr std::int32_t kMaxBlock = 1000;

    // The longest recording path, with its terminator.
    static constexpr std::size_t kPathSize = 2048;

    // A part to end (split size, or asked) whose blocks mark entry points
    // goes on to the next one at most this long (see KeepBlock); where the
    // file system limits a file, a part waits from this much before it.
    static constexpr std::uint32_t kMostEntryWaitMs = 2000;
    static constexpr std::uint64_t kEntryMargin = 64ull << 20;

    using Limits = RecordingLimits;
    // Why a recording ended by itself (a limit), or kNone.
    // kProgramme: the owner asked (EndNow): the programme recorded is over.
    enum class End : std::uint32_t { kNone, kTime, kSize, kLowSpace, kProgramme };

    // `capacity` is the ring size OpenFile asks for unless told otherwise.
    explicit FileSink(std::int32_t capacity = kCapacity);
    // Closes like CloseFile, while this is still a FileSink, so the writer's
    // last blocks still reach the file. A writer is never left behind here.
    ~FileSink() override;

    // Control thread. Closes a file still open, creates (or truncates) the
    // file at `path` and starts a ring of `capacity` bytes (0: the size given
    // at construction); when that storage cannot be had, of half that, and
    // half again, down to kSmallestCapacity (Capacity() tells what it got).
    // False, with the sink idle, when the file cannot be created, no ring
    // can start, or the volume has less free space than `limits` ask for.
    //
    // Where the file system cannot hold a larger file (FAT: 4 GiB - 1), or
    // `limits` split the recording, it goes on in a next part named as the
    // file with "-2", "-3", ... before its extension. A batch of blocks goes
    // wholly into one part, so parts end between whole blocks and, joined,
    // hold what one file would. A write the file system refuses in a part
    // that holds something is tried again in a next part, so a limit the
    // system does not tell of loses nothing either.
    [[nodiscard]] bool OpenFile(const char* path, std::int32_t capacity = 0,
                                const Limits& limits = Limits{});
    // Control thread. Writes every accepted block, stops the ring, closes the
    // file (see BlockRing::Close for `how`). No-op when idle. False when the
    // writer was stuck and left behind with the file (see BlockRing::Close):
    // the owner reads what it needs, then calls LetGo.
    bool CloseFile(platform::Teardown how = platform::Teardown::kNone);
    // Control thread: a recording runs, from a successful OpenFile to
    // CloseFile (a recording that ended at a limit has its file closed by the
    // writer already, but runs until then).
    bool IsOpen() const { return open_; }
    // Why the last OpenFile failed. kInUse: another handle holds the file (a
    // writer left behind on it, another program). kTimedOut: creating it
    // (or asking its volume) took longer than kStuckMs: a share that stopped
    // answering; the attempt goes on elsewhere and its file, if it comes, is
    // closed again.
    enum class OpenFailure { kNone, kNoFile, kInUse, kLowSpace, kTimedOut, kNoRing };
    OpenFailure LastOpenFailure() const { return openFailure_; }
    // For kNoFile and kInUse: the system's error code (platform::ErrorText).
    std::uint32_t LastOpenError() const { return openError_; }

    // Any thread. Since the last OpenFile: bytes that reached the file; write
    // calls that failed; the blocks and bytes those failures lost.
    std::uint64_t BytesWritten() const { return bytesWritten_.load(std::memory_order_relaxed); }
    // Any thread: bytes the writer has taken from the ring since the last
    // OpenFile, written or not yet (what came in, as the writer sees it).
    std::uint64_t TakenBytes() const { return takenBytes_.load(std::memory_order_relaxed); }
    std::uint64_t FailedWrites() const { return failedWrites_.load(std::memory_order_relaxed); }
    std::uint64_t FailedWriteBlocks() const {
        return failedBlocks_.load(std::memory_order_relaxed);
    }
    std::uint64_t FailedWriteBytes() const { return failedBytes_.load(std::memory_order_relaxed); }
    // Any thread: why the recording ended by itself, or kNone. Once it has,
    // the writer writes nothing more and the ring takes no more blocks (not
    // counted as lost); the owner then stops the recording.
    End Ended() const { return static_cast<End>(end_.load(std::memory_order_acquire)); }
    // Control thread: the recording ends as at a limit, for kProgramme; the
    // writer takes it up within its next tick (at most 100 ms).
    void EndNow() { endAsked_.store(true, std::memory_order_release); }  // pairs with Tick
    // Control thread: the writer begins a next part with its next batch (a
    // programme has changed), as a split by size would: at the next entry
    // point where the blocks mark them (see KeepBlock); nothing when the
    // part holds nothing yet.
    void SplitNow() {
        splitAsked_.store(true, std::memory_order_release);  // pairs with WritePending
    }
    // Any thread: the part the last SplitNow began (0: none yet); a request
    // the writer could not follow (an empty part, a part that could not be
    // made) begins none.
    std::uint32_t AskedPart() const {
        return askedPart_.load(std::memory_order_acquire);  // pairs with WritePending
    }
    // Any thread: the files the recording has so far (1 until it splits).
    std::uint32_t Parts() const { return parts_.load(std::memory_order_relaxed); }
    // The path of part `part` (1 is the file opened): "name.ts" gives
    // "name-2.ts". The one rule the parts are named by.
    void PartPath(std::uint32_t part, char (&path)[kPathSize]) const;
    // Control thread: the writer gives part `part` the path `to` within its
    // next tick (at most 100 ms), or, where that name is taken, "to (2)" up
    // to "to (9)" before the extension; only while that part is the one
    // being written. The first part keeps the parts' rule ("name-2" after
    // it); a later part renamed begins names of its own: the parts after
    // it, until the next rename, are "to - part 2", "to - part 3", ...
    // False while a rename is asked and not done, or `to` does not fit.
    bool RenameTo(std::uint32_t part, const char* to);
    // Any thread: how the last rename asked went (kNone: none asked).
    enum class Rename : std::uint32_t { kNone, kAsked, kDone, kFailed };
    Rename RenameState() const {
        return static_cast<Rename>(
            rename_.load(std::memory_order_acquire));  // pairs with the writer
    }
    // The most renames one recording takes; later ones fail.
    static constexpr std::uint32_t kMaxNames = 48;
    // Any thread: the length of the first part whose file system refused to
    // let it grow (a next part then took the bytes), 0 while none has.
    std::uint64_t SizeLimitFound() const {
        return sizeLimitFound_.load(std::memory_order_relaxed);  // the writer's store
    }

    // Every figure of the current (or last) recording at once.
    struct Figures {
        std::uint64_t bytesWritten = 0;
        std::uint64_t refusedBlocks = 0;  // refused by the ring: too long, or no room
        std::uint64_t refusedBytes = 0;
        std::uint64_t failedWrites = 0;
        std::uint64_t failedWriteBytes = 0;
        std::uint64_t unconfirmedBytes = 0;  // left with a stuck writer
        std::uint64_t continuityErrors = 0;
        std::uint64_t transportErrors = 0;
        std::uint64_t takenBytes = 0;  // taken from the ring by the writer
        std::uint64_t packets = 0;
        std::uint64_t scrambledPackets = 0;
        bool latestScrambled = false;  // the latest packet was scrambled
        bool sawPackets = false;       // else the error counts say nothing
        bool leftBehind = false;       // the writer was stuck and left behind
        End ended = End::kNone;
        std::uint64_t endedAfterMs = 0;  // when it ended by itself, from the start
        std::uint32_t parts = 1;
        std::uint32_t peakFillPercent = 0;
        std::uint32_t ringBytes = 0;
        // Bytes that did not reach the file.
        std::uint64_t LostBytes() const {
            return refusedBytes + failedWriteBytes + unconfirmedBytes;
        }
    };
    Figures Read() const;
    // The stream's own counts per PID; read them once the file is closed.
    const ContinuityCheck& Continuity() const { return continuity_; }

  protected:
    // Blocks are gathered per batch (up to kWriteBatch bytes) and written in
    // one go at the batch's end; nothing waits for more data to arrive.
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override;
    void EndBatch() override;
    // Blocks refused right before are the module's loss, not the stream's:
    // the continuity check must not count that gap as an upstream error.
    void AfterGap() override { continuity_.Restart(); }
    // A sequence number naming the writer's place (part, lengths) saved
    // with it; the exit path goes back to that place.
    std::uint64_t Mark() override;
    void RecoverTo(std::uint64_t mark) override;
    void ReleaseLeftBehind() override { file_.Close(); }
    void Tick() override;
    // A rename asked for right before the stop is still done.
    void LastTick() override { RenameIfAsked(); }
    // At exit the blocks go through the writer's own batch code, from the
    // place of its last finished batch: parts, limits and failures alike.
    void ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length,
                            std::uint8_t tag) override;
    void EndAtExit() override;
    // One write call at `offset`, as platform::File::WriteAt. A test double
    // may write less, fail or block.
    virtual bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                           std::uint32_t* written) {
        return file_.WriteAt(data, length, offset, written);
    }
    // Writer: the free space on the recording's volume, as platform::FreeBytesAt.
    virtual std::uint64_t FreeBytes() const { return platform::FreeBytesAt(names_[0].path); }
    // Cuts the file to `length` bytes, as platform::File::Truncate.
    virtual bool CutFile(std::uint64_t length) { return file_.Truncate(length); }
    // The file's size, as platform::File::Size.
    virtual bool FileSize(std::uint64_t* size) const { return file_.Size(size); }
    // Writer: the steps of a change to a next part, for tests that stop a
    // writer dead at each. kOpening: about to open it; kOpened: the handle
    // is the next part's, the counts still the last one's; kCounted: both
    // are the next part's.
    enum class PartChange { kOpening, kOpened, kCounted };
    virtual void AtPartChange(PartChange) {}
    // Writer: how long a part to end waits for an entry point (see KeepBlock).
    virtual std::uint32_t EntryWaitMs() const { return kMostEntryWaitMs; }
    // The one place that says what every part after the first begins with
    // (a stream's tables, so each part plays alone), for a part that begins
    // at byte `from` of the batch `batch` (`pending` bytes gathered) of the
    // writer (`byWriter`) or of the exit path: written into `out` (room for
    // kMaxPreamble); their length, 0 for none.
    static constexpr std::uint32_t kMaxPreamble = 64 * 188;
    struct PartStart {
        bool byWriter;
        const std::uint8_t* batch;
        std::uint32_t from;
        std::uint32_t pending;
    };
    virtual std::uint32_t PartPreamble(std::uint8_t* /*out*/, const PartStart& /*start*/) {
        return 0;
    }
    // After each batch the writer (`byWriter`) or the exit path wrote.
    virtual void AfterBatchWritten(bool /*byWriter*/) {}
    // Writer: `length` bytes came in (taken from the ring), whatever is made of them.
    void CountTaken(std::int32_t length);
    // Writer: a block for the file, as ProcessBlock takes it; one made here
    // (not one the ring holds) may fill the batch, which is then written first.
    // `entry`: a decoder can begin at the block's first byte (a picture
    // that needs no earlier one). Once a recording's blocks say so, a part
    // past its split size runs on to the next such block, and the next part
    // begins there: at most kMostEntryWaitMs later, and never past the
    // file system's own limit (kEntryMargin before it, where it has one).
    void KeepBlock(const std::uint8_t* data, std::int32_t length, bool entry = false);
    // The exit path's KeepBlock, for blocks a subclass makes at exit.
    void KeepBlockAtExit(const std::uint8_t* data, std::int32_t length, bool entry);
    // The bytes gathered for the writer's or the exit path's batch so far.
    std::uint32_t PendingBytes(bool byWriter) const {
        return byWriter ? writer_.pendingBytes : exit_.pendingBytes;
    }
    // Control thread, before the first block: the file already holds
    // `length` bytes, and blocks go after them.
    void AssumeLength(std::uint64_t length);

  private:
    static constexpr std::uint32_t kWriteBatch = 64 * 1024;

    // One path's batch and place in the output. The writer has one and the
    // exit path another: a writer the system has not ended yet may still
    // finish a call it had begun, and must find only its own state there.
    struct Output {
        explicit Output(std::uint8_t* storage, bool writer) : batch(storage), byWriter(writer) {}
        std::uint8_t* const batch;
        const bool byWriter;
        std::uint32_t pendingBytes = 0;
        std::uint32_t blockEnds[kMaxBatchBlocks];  // where each pending block ends
        std::uint32_t pendingBlocks = 0;
        std::uint64_t fileLength = 0;  // whole blocks the current part holds
        std::uint32_t part = 1;
        std::uint64_t partsBytes = 0;   // in the parts before this one
        std::uint64_t tornUntil = 0;    // a torn block that could not be cut off ends here
        std::uint32_t openingPart = 0;  // a part being opened or gone back to
        bool splitHelped = true;        // a next part after a refused write took the bytes
        std::uint32_t lastDone = 0;     // batch bytes the last WriteBatch got to
        bool entries = false;           // the blocks mark their entry points (KeepBlock)
        bool batchAtEntry = false;      // the batch's first block is one
        bool asking = false;            // the writer: the owner asked for a next part
        bool due = false;               // the part is to end (asked, or at its size)...
        std::uint32_t dueAtMs = 0;      // ... since this tick count
        void Forget();                  // a fresh recording's place
    };

    // Writes `length` bytes at `offset`, going on after short writes. The
    // bytes written; fewer than `length` when a write call failed, or when
    // the writer (`byWriter`) is left behind or the process exits under it.
    std::uint32_t WriteAll(const std::uint8_t* data, std::uint32_t length, std::uint64_t offset,
                           bool byWriter);
    void CountFailure(std::uint32_t blocks, std::uint32_t bytes);
    // The writer's output, once the exit path or a close has given up on it:
    // it touches neither the file nor its place any more.
    bool Abandoned(const Output& o) const { return o.byWriter && GivingUp(); }
    // Adds a block to the batch; the first that passes StopAfterMB is the last.
    void Gather(Output& o, const std::uint8_t* data, std::int32_t length);
    // KeepBlock for either path: makes room (or ends the batch before an
    // entry point where a part may begin), then gathers.
    void Keep(Output& o, const std::uint8_t* data, std::int32_t length, bool entry);
    // Whether the batch goes into a next part: the owner asked, or the part
    // is at its limit. The one place a part's end is decided.
    bool SplitBefore(Output& o);
    // With blocks that mark entry points: a part `length` bytes long is to
    // end at the next one (asked, or at its size).
    bool ToEnd(const Output& o, std::uint64_t length) const;
    // The writer takes up a SplitNow; and says a next part answered it.
    void TakeAsk(Output& o);
    void AnswerAsk(Output& o);
    void SetPartLimits(std::uint64_t splitBytes, std::uint64_t systemLimit);
    // Writes the batch: where it goes (this part or a next one), what a
    // failure keeps and counts. The one place that decides, for the writer
    // and the exit path alike.
    void WritePending(Output& o);
    // Writes the batch from byte `from` on into the current part; false
    // when a write failed.
    bool WriteBatch(Output& o, std::uint32_t from);
    // A batch refused at the end of a part that holds `before` bytes: one
    // attempt to go on in a next part.
    void GoOnInNextPart(Output& o, std::uint64_t before);
    // The current part holds the batch's bytes [from, done) from offset `at`
    // on, and the write failed there: keeps the whole blocks among them,
    // cuts a torn one off, counts the rest of the batch as one failed write.
    void CountBatchFailure(Output& o, std::uint64_t at, std::uint32_t from, std::uint32_t done);
    // The bytes of the batch's blocks that lie wholly within its first `bytes`.
    static std::uint32_t WholeBlocksIn(const Output& o, std::uint32_t bytes);
    // CutFile, watched like a write; false, with nothing cut, for a writer
    // given up on.
    bool Cut(const Output& o, std::uint64_t length);
    // Goes on in the next part, which begins with the PartPreamble for the
    // batch's byte `from`. False when it cannot be created.
    bool NextPart(Output& o, std::uint32_t from);
    // Back from a fresh part that refused its first write to the one before,
    // `length` bytes long with a torn block up to `tornUntil` that could not
    // be cut; the fresh part is removed. False when the part before cannot
    // be opened again (the fresh one stays current).
    bool BackToPart(Output& o, std::uint64_t length, std::uint64_t tornUntil);
    // Writer: the recording ends by itself, for `why`.
    void EndBy(End why);
    // Writer: milliseconds since the start, in 64 bits (the tick count wraps).
    std::uint64_t ElapsedMs();
    // Once the recording has ended by itself and its last batch is written:
    // the file is closed now, not when the owner next looks.
    void CloseAtEnd(Output& o);
    void PublishLength(const Output& o);
    // Control thread: every figure and the writer's place back to a start.
    void ResetForOpen(const Limits& limits);
    // Control thread: creates the file at `path` (after the free-space check)
    // off this thread, waiting at most kStuckMs.
    OpenFailure CreateInTime(const char* path);

    const std::int32_t ringCapacity_;
    platform::File file_;
    // The writer's batch and place, and the exit path's own.
    std::uint8_t pending_[kWriteBatch];
    std::uint8_t exitPending_[kWriteBatch];
    Output writer_{pending_, true};
    Output exit_{exitPending_, false};
    // What the parts are named after: [0] the path opened, set before the
    // writer starts; then each rename, appended by the writer and published
    // by nameCount_. An entry once published never changes, so any thread,
    // the exit path's too, reads them without a lock. A part takes the name
    // of the last entry that begins at or before it.
    struct PartName {
        std::uint32_t firstPart = 1;
        bool ownNumbers = false;  // later parts "name - part 2", not "name-2"
        char path[kPathSize] = {};
    };
    PartName names_[kMaxNames + 1];
    std::atomic<std::uint32_t> nameCount_{1};  // release by the writer's rename, acquire by readers
    char renameTo_[kPathSize] = {};            // written before rename_ says kAsked
    std::uint32_t renamePart_ = 0;             // likewise
    std::atomic<std::uint32_t> rename_{0};     // Rename; kAsked by RenameTo, the rest the writer
    // Writer: the rename RenameTo asked for, between batches.
    void RenameIfAsked();
    Limits limits_;
    std::uint64_t systemLimit_ = 0;   // the file system's limit (0: none known)
    std::uint64_t entrySize_ = 0;     // where a part may end at an entry point (0: never)
    std::uint32_t lastTick_ = 0;      // the tick ElapsedMs last read
    std::uint64_t elapsedMs_ = 0;     // up to lastTick_
    std::uint64_t spaceCheckMs_ = 0;  // elapsed at the last free-space check
    std::uint64_t endedAfterMs_ = 0;  // written before end_, read after it
    // The writer closed the file at the recording's end: the exit path has
    // nothing to do. Release pairs with the exit path's acquire.
    std::atomic<bool> closedAtEnd_{false};
    bool open_ = false;  // control thread: see IsOpen
    OpenFailure openFailure_ = OpenFailure::kNone;
    std::uint32_t openError_ = 0;
    std::atomic<std::uint32_t> end_{0};        // End; written by the writer only
    std::atomic<bool> endAsked_{false};        // EndNow; read by the writer's Tick
    std::atomic<bool> splitAsked_{false};      // SplitNow; taken by the writer's WritePending
    std::atomic<std::uint32_t> askedPart_{0};  // WritePending's release, AskedPart's acquire
    std::atomic<std::uint32_t> parts_{1};      // the current output's part, for other threads
    // Relaxed: a figure for the log, written by the writer only.
    std::atomic<std::uint64_t> sizeLimitFound_{0};
    // Where the writer stood after each finished batch, for the exit path:
    // Mark fills the slot its sequence number names.
    struct Place {
        std::uint32_t part = 1;
        std::uint64_t length = 0;
        std::uint64_t partsBytes = 0;
        std::uint64_t tornUntil = 0;
        bool splitHelped = true;
        bool endedBySize = false;  // the batch ended the recording at StopAfterMB
        bool entries = false;
        bool due = false;
        std::uint32_t dueAtMs = 0;
    };
    Place places_[2];
    std::uint64_t marks_ = 0;
    bool exitDone_ = false;  // the exit path has nothing (more) to write
    // Written only by the writer thread (reset before it starts); read by
    // others. Atomic so a 32-bit reader never sees a torn 64-bit value.
    std::atomic<std::uint64_t> bytesWritten_{0};
    std::atomic<std::uint64_t> takenBytes_{0};
    std::atomic<std::uint64_t> failedWrites_{0};
    std::atomic<std::uint64_t> failedBlocks_{0};
    std::atomic<std::uint64_t> failedBytes_{0};
    ContinuityCheck continuity_;  // writer thread; reset before it starts
};

}  // namespace corvanlet
