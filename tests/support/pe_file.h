// Reads the headers, export and import tables of a PE file (PE32 or PE32+)
// from its bytes; no code in it runs, so any width can be checked anywhere.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <windows.h>

namespace corvanlet::testing {

class PeFile {
  public:
    explicit PeFile(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
        if (bytes_.size() < 0x40) return;
        const auto peOffset = Read<std::uint32_t>(0x3C);
        const std::size_t optional = peOffset + 4 + sizeof(IMAGE_FILE_HEADER);
        if (optional + 2 > bytes_.size() || Read<std::uint32_t>(peOffset) != IMAGE_NT_SIGNATURE) {
            return;
        }
        std::memcpy(&file_, bytes_.data() + peOffset + 4, sizeof file_);
        magic_ = Read<std::uint16_t>(optional);
        std::size_t directories = 0;
        if (magic_ == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        } else if (magic_ == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        } else {
            return;
        }
        for (std::size_t i = 0; i < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++i) {
            directories_[i] = Read<IMAGE_DATA_DIRECTORY>(directories + i * 8);
        }
        const std::size_t sections = optional + file_.SizeOfOptionalHeader;
        for (int i = 0; i < file_.NumberOfSections; ++i) {
            sections_.push_back(
                Read<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER)));
        }
        valid_ = true;
    }

    bool Valid() const { return valid_; }
    bool IsDll() const { return valid_ && (file_.Characteristics & IMAGE_FILE_DLL) != 0; }
    // A PE32 image for i386 (true) or a PE32+ image for x86-64 (false).
    bool IsI386Pe32() const {
        return valid_ && file_.Machine == IMAGE_FILE_MACHINE_I386 &&
               magic_ == IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    }
    bool IsAmd64Pe32Plus() const {
        return valid_ && file_.Machine == IMAGE_FILE_MACHINE_AMD64 &&
               magic_ == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    }

    // Exported name -> ordinal.
    std::map<std::string, std::uint32_t> Exports() const {
        std::map<std::string, std::uint32_t> result;
        const auto& dir = directories_[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (!valid_ || dir.VirtualAddress == 0) return result;
        const auto exports = Read<IMAGE_EXPORT_DIRECTORY>(Offset(dir.VirtualAddress));
        for (std::uint32_t i = 0; i < exports.NumberOfNames; ++i) {
            const auto nameRva = Read<std::uint32_t>(Offset(exports.AddressOfNames) + 4 * i);
            const auto index = Read<std::uint16_t>(Offset(exports.AddressOfNameOrdinals) + 2 * i);
            result[String(nameRva)] = exports.Base + index;
        }
        return result;
    }
    std::uint32_t ExportedFunctionCount() const {
        const auto& dir = directories_[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (!valid_ || dir.VirtualAddress == 0) return 0;
        return Read<IMAGE_EXPORT_DIRECTORY>(Offset(dir.VirtualAddress)).NumberOfFunctions;
    }

    std::vector<std::string> ImportedDlls() const {
        std::vector<std::string> result;
        const auto& dir = directories_[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!valid_ || dir.VirtualAddress == 0) return result;
        for (std::size_t at = Offset(dir.VirtualAddress); at != 0 && at < bytes_.size();
             at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto descriptor = Read<IMAGE_IMPORT_DESCRIPTOR>(at);
            if (descriptor.Name == 0) break;
            result.push_back(String(descriptor.Name));
        }
        return result;
    }

  private:
    template <typename T>
    T Read(std::size_t offset) const {
        T value{};
        if (offset + sizeof(T) <= bytes_.size())
            std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }
    std::size_t Offset(std::uint32_t rva) const {
        for (const auto& section : sections_) {
            if (rva >= section.VirtualAddress &&
                rva < section.VirtualAddress + section.Misc.VirtualSize) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return 0;
    }
    std::string String(std::uint32_t rva) const {
        const std::size_t at = Offset(rva);
        if (at == 0 || at >= bytes_.size()) return "";
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + at);
        return std::string(start, strnlen(start, bytes_.size() - at));
    }

    std::vector<std::uint8_t> bytes_;
    IMAGE_FILE_HEADER file_{};
    std::uint16_t magic_ = 0;
    IMAGE_DATA_DIRECTORY directories_[IMAGE_NUMBEROF_DIRECTORY_ENTRIES]{};
    std::vector<IMAGE_SECTION_HEADER> sections_;
    bool valid_ = false;
};

}  // namespace corvanlet::testing
