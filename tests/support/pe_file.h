// Reads the export and import tables of a 32-bit PE file from its bytes.
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
        if (peOffset + sizeof(IMAGE_NT_HEADERS32) > bytes_.size()) return;
        IMAGE_NT_HEADERS32 nt;
        std::memcpy(&nt, bytes_.data() + peOffset, sizeof nt);
        if (nt.Signature != IMAGE_NT_SIGNATURE ||
            nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            return;
        }
        nt_ = nt;
        const std::size_t sections = peOffset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                     nt.FileHeader.SizeOfOptionalHeader;
        for (int i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            std::memcpy(&section, bytes_.data() + sections + i * sizeof section, sizeof section);
            sections_.push_back(section);
        }
        valid_ = true;
    }

    bool Valid() const { return valid_; }
    bool Is32BitDll() const {
        return valid_ && nt_.FileHeader.Machine == IMAGE_FILE_MACHINE_I386 &&
               (nt_.FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
    }

    // Exported name -> ordinal.
    std::map<std::string, std::uint32_t> Exports() const {
        std::map<std::string, std::uint32_t> result;
        const auto& dir = nt_.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (!valid_ || dir.VirtualAddress == 0) return result;
        IMAGE_EXPORT_DIRECTORY exports;
        std::memcpy(&exports, bytes_.data() + Offset(dir.VirtualAddress), sizeof exports);
        for (std::uint32_t i = 0; i < exports.NumberOfNames; ++i) {
            const auto nameRva = Read<std::uint32_t>(Offset(exports.AddressOfNames) + 4 * i);
            const auto index = Read<std::uint16_t>(Offset(exports.AddressOfNameOrdinals) + 2 * i);
            result[String(nameRva)] = exports.Base + index;
        }
        exportCount_ = exports.NumberOfFunctions;
        return result;
    }
    std::uint32_t ExportedFunctionCount() const {
        Exports();
        return exportCount_;
    }

    std::vector<std::string> ImportedDlls() const {
        std::vector<std::string> result;
        const auto& dir = nt_.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!valid_ || dir.VirtualAddress == 0) return result;
        for (std::size_t at = Offset(dir.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            IMAGE_IMPORT_DESCRIPTOR descriptor;
            std::memcpy(&descriptor, bytes_.data() + at, sizeof descriptor);
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
        return at != 0 ? std::string(reinterpret_cast<const char*>(bytes_.data() + at)) : "";
    }

    std::vector<std::uint8_t> bytes_;
    IMAGE_NT_HEADERS32 nt_{};
    std::vector<IMAGE_SECTION_HEADER> sections_;
    bool valid_ = false;
    mutable std::uint32_t exportCount_ = 0;
};

}  // namespace corvanlet::testing
