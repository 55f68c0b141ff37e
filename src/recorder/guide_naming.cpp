// A service recording into the name the module built is named after its
// service and programme once the guide has said them: the file is created
// at Start under its "sid" name (so a directory that cannot take a file
// fails at once, and no byte waits), and the writer renames it once.
#include <cstdio>
#include <cstring>

#include "recorder/recorder_module.h"

namespace corvanlet {

namespace {

// How long a recording waits for the guide's names before it keeps its
// "sid" name.
constexpr std::uint32_t kGuideNameWaitMs = 10000;

const char* FileNameOf(const char* path) {
    const char* slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void RecorderModule::BeginGuideName(bool builtName) {
    naming_ = Naming::kOff;
    awaiting_ = false;
    guideNames_ = builtName && choice_.kind == PidChoice::Kind::kService;
    if (!guideNames_) return;
    naming_ = Naming::kWaiting;
    namingPart_ = 1;
    nameFields_ = GuideNameFields{};
    nameFields_.serviceId = choice_.serviceId;
    nameFields_.frequency = channel_.frequency;
    nameFields_.polarisation = channel_.polarisation != 0 ? 'V' : 'H';
    nameFields_.symbolRate = channel_.symbolRate;
    StampNameTime();
    // The dialog's list named it already: known before any table comes.
    (void)browse_.NameOf(choice_.serviceId, listName_, sizeof listName_);
}

void RecorderModule::StampNameTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    nameFields_.year = now.wYear, nameFields_.month = now.wMonth, nameFields_.day = now.wDay;
    nameFields_.hour = now.wHour, nameFields_.minute = now.wMinute;
}

void RecorderModule::NameFromGuide() {
    if (naming_ == Naming::kRenaming) return FollowRename();
    const ts::ServiceStream* service = filter_.Service();
    if (service == nullptr) return;
    if (naming_ == Naming::kWaiting) return NameFirstPart(*service);
    // A programme's own part, once the writer has begun it (the writer
    // says which part that was: size parts may come between).
    const std::uint32_t begun = filter_.AskedPart();
    if (!awaiting_ || begun == awaitedAfter_) return;
    awaiting_ = false;
    namingPart_ = begun;
    StampNameTime();
    ts::ServiceGuide guide;
    service->Guide(guide);
    NamePart(guide, true);
}

void RecorderModule::NameFirstPart(const ts::ServiceStream& service) {
    ts::ServiceGuide guide;
    service.Guide(guide);
    const bool both = (guide.haveService || listName_[0] != '\0') && guide.present.known &&
                      guide.present.title[0] != '\0';
    if (!both && ElapsedMs() < kGuideNameWaitMs) return;
    NamePart(guide, both);
}

void RecorderModule::NamePart(const ts::ServiceGuide& guide, bool known) {
    GuideNameFields fields = nameFields_;
    fields.service = guide.haveService && guide.name[0] != '\0' ? guide.name : listName_;
    fields.title = guide.present.known ? guide.present.title : "";
    char name[kTextSize];
    const bool named = GuideName(nameTemplate_, fields, name, sizeof name);
    naming_ = Naming::kOff;
    if (!named) return KeepBuiltName(known ? "bad-template" : "no-guide");
    // Room for the path and for " (9)" in the recorder's own buffers.
    char path[kPathSize];
    JoinPath(directory_, name, path);
    if (std::strlen(path) + 5 >= sizeof path || !filter_.RenameFile(namingPart_, path)) {
        return KeepBuiltName("too-long");
    }
    naming_ = Naming::kRenaming;
}

void RecorderModule::FollowRename() {
    const FileSink::Rename state = filter_.Sink().RenameState();
    if (state == FileSink::Rename::kAsked) return;  // still waits for the writer
    naming_ = Naming::kOff;
    if (state != FileSink::Rename::kDone) return KeepBuiltName("rename-failed");
    char path[FileSink::kPathSize];
    filter_.Sink().PartPath(namingPart_, path);
    if (namingPart_ == 1) std::snprintf(path_, sizeof path_, "%s", path);
    // The name is the module's: the next Start builds it afresh. The field
    // shows the file being written.
    std::snprintf(fileName_, sizeof fileName_, "%s", FileNameOf(path));
    std::memcpy(builtName_, fileName_, sizeof builtName_);
    char line[FileSink::kPathSize + 40];
    if (namingPart_ == 1) {
        std::snprintf(line, sizeof line, "name file=\"%s\"", path);
    } else {
        std::snprintf(line, sizeof line, "name part=%u file=\"%s\"",
                      static_cast<unsigned>(namingPart_), path);
    }
    log_.Note(line);
}

void RecorderModule::AwaitProgrammePart() {
    if (!guideNames_) return;
    if (naming_ == Naming::kWaiting) KeepBuiltName("split-first");  // the first part keeps its name
    // Before the cut is asked for: the part it begins is the next one the
    // writer says it began.
    awaiting_ = true;
    awaitedAfter_ = filter_.AskedPart();
}

void RecorderModule::NameBeforeStop() {
    // A recording stopped before the guide named both service and
    // programme is named with what it did say; the writer renames it as
    // its last step.
    // (One that ended at a limit has closed its file already.)
    const ts::ServiceStream* service = filter_.Service();
    if (naming_ != Naming::kWaiting || service == nullptr ||
        filter_.Sink().Ended() != FileSink::End::kNone) {
        return;
    }
    ts::ServiceGuide guide;
    service->Guide(guide);
    if (guide.haveService || listName_[0] != '\0' || guide.present.known) NamePart(guide, false);
}

void RecorderModule::EndGuideName(bool leftBehind) {
    // A programme's part begun in the last second, not named yet.
    if (awaiting_ && !leftBehind && filter_.AskedPart() != awaitedAfter_ &&
        naming_ == Naming::kOff) {
        namingPart_ = filter_.AskedPart();
        KeepBuiltName("stopped-first");
    }
    awaiting_ = false;
    // A writer left stuck may yet rename the file: what it does is not known.
    if (naming_ != Naming::kOff && leftBehind) return KeepBuiltName("writer-stuck");
    // The writer has stopped: a rename it took up is done or failed; one it
    // never came to (a stop within its tick) will not be done.
    if (naming_ == Naming::kRenaming) FollowRename();
    if (naming_ != Naming::kOff) KeepBuiltName("stopped-first");
}

void RecorderModule::KeepBuiltName(const char* reason) {
    naming_ = Naming::kOff;
    char path[FileSink::kPathSize];
    filter_.Sink().PartPath(namingPart_, path);
    char line[FileSink::kPathSize + 80];
    std::snprintf(line, sizeof line, "name kept file=\"%s\" reason=%s", path, reason);
    log_.Note(line);
}

}  // namespace corvanlet
