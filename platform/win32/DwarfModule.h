// Function names, source files and lines from the DWARF that GCC and clang
// write into PE files, read with libdwarf from the module's file on disk:
// Windows' debugging help library reads PDB files only.
#pragma once

#include <libdwarf.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace NUVZubPlatform {

/// What an image's headers say of the file it came from, the same in memory
/// and on disk: a file replaced since the load is told apart.
struct ImageStamp {
    std::uint32_t timeDateStamp = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t checkSum = 0;
    std::uint32_t entryPoint = 0;
    std::uint16_t sections = 0;
    bool operator==(const ImageStamp& other) const;
};

/// The stamp of the image that the loader placed at `base`, `size` bytes long;
/// false if its headers are not a PE image's.
bool LoadedImageStamp(const void* base, std::size_t size, ImageStamp& stamp);

/// What debugging information says of one code address.
struct SourcePlace {
    std::string name; ///< demangled, without its parameter list; empty if unknown
    std::string file; ///< empty if unknown
    int line = 0;
};

/// The DWARF of one loaded module. Its compilation units are indexed at the
/// first look-up, and a unit's functions and lines when an address first falls
/// in it; all of it is kept until the object goes. Not thread-safe.
class DwarfModule {
public:
    /// The DWARF in the file `path` of the image loaded at `base` with `stamp`;
    /// nullptr if the file carries none or is no longer that image.
    static std::unique_ptr<DwarfModule> Open(const std::wstring& path, std::uintptr_t base,
                                             const ImageStamp& stamp);
    ~DwarfModule();
    DwarfModule(const DwarfModule&) = delete;
    DwarfModule& operator=(const DwarfModule&) = delete;

    /// What the code at `at`, an address inside the loaded image, belongs to.
    SourcePlace Describe(std::uintptr_t at);

    struct Image; ///< the file's debug sections, as libdwarf reads them
    struct Unit;  ///< one compilation unit

private:
    DwarfModule() = default;
    int Done(int result);
    void Index();
    void ReadUnit(Unit& unit);
    void AddFunctions(Dwarf_Die parent, Unit& unit, int depth);
    void AddLines(Dwarf_Die unitDie, Unit& unit);
    template <typename Add> void ForEachRange(Dwarf_Die die, const Unit& unit, Add add);
    std::string FunctionName(Dwarf_Off die);
    Dwarf_Addr FunctionStart(std::uintptr_t at) const;

    std::unique_ptr<Image> m_image;
    Dwarf_Debug m_dbg = nullptr;
    Dwarf_Error m_error = nullptr;
    std::uint64_t m_bias = 0; ///< preferred image base minus the load address
    bool m_indexed = false;
    std::vector<Unit> m_units;
};

} // namespace NUVZubPlatform
