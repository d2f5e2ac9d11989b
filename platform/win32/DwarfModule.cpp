// Names come from the file's COFF symbol table, as they come from the ELF
// symbol table on Linux (the DWARF of a function with internal linkage gives
// no qualified name), and from DWARF where a module has no symbol table; files
// and lines from DWARF's line tables.
//
// libdwarf reads the module's PE file through an object-access interface of
// our own: its built-in PE reader opens files by narrow name (the ANSI code
// page, not every name a module may have) and keeps a descriptor for as long
// as it reads. Here a section is read, when libdwarf first asks for it, from
// the file opened by its wide name for that read alone, after checking that
// the file still is the loaded image.
#include "DwarfModule.h"

#include "../SymbolNames.h"

#include <windows.h>

#include <dwarf.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <new>

namespace NUVZubPlatform {

bool ImageStamp::operator==(const ImageStamp& other) const {
    return timeDateStamp == other.timeDateStamp && sizeOfImage == other.sizeOfImage &&
           checkSum == other.checkSum && entryPoint == other.entryPoint &&
           sections == other.sections;
}

namespace {
// DWARF's attribute 0x47: the declaration that an out-of-line definition
// completes, where a member function's name lives.
constexpr Dwarf_Half kAttributeDeclarationOfThis = 0x47;

// All that is read of the headers fits in the first page of an image.
constexpr std::size_t kHeaderBytes = 4096;

/// What the PE headers hold, from an image in memory or from its file.
struct Headers {
    ImageStamp stamp;
    std::uint64_t imageBase = 0; ///< preferred by the file; the loader's copy is rebased
    unsigned pointerSize = 0;
    std::uint64_t sectionTable = 0; ///< offset of the first section header
    std::uint64_t symbolTable = 0;  ///< file offset of the COFF symbol table, 0 if none
    std::uint32_t symbols = 0;
};

bool Take(const unsigned char* data, std::size_t size, std::uint64_t at, void* out,
          std::size_t length) {
    if (at > size || size - at < length) return false;
    std::memcpy(out, data + at, length);
    return true;
}

template <typename Optional>
bool TakeOptional(const unsigned char* data, std::size_t size, std::uint64_t at,
                  const IMAGE_FILE_HEADER& file, Headers& out) {
    // Only the fields before the data directories, whose count varies.
    constexpr std::size_t kFixed = offsetof(Optional, DataDirectory);
    Optional optional = {};
    if (file.SizeOfOptionalHeader < kFixed || !Take(data, size, at, &optional, kFixed))
        return false;
    out.imageBase = optional.ImageBase;
    out.pointerSize = sizeof optional.ImageBase;
    out.stamp.sizeOfImage = optional.SizeOfImage;
    out.stamp.checkSum = optional.CheckSum;
    out.stamp.entryPoint = optional.AddressOfEntryPoint;
    return true;
}

bool ParseHeaders(const unsigned char* data, std::size_t size, Headers& out) {
    IMAGE_DOS_HEADER dos;
    if (!Take(data, size, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew < 0)
        return false;
    const std::uint64_t nt = static_cast<std::uint64_t>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER file;
    WORD magic = 0;
    const std::uint64_t optional = nt + sizeof signature + sizeof file;
    if (!Take(data, size, nt, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !Take(data, size, nt + sizeof signature, &file, sizeof file) ||
        !Take(data, size, optional, &magic, sizeof magic))
        return false;
    const bool known =
        magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
            ? TakeOptional<IMAGE_OPTIONAL_HEADER64>(data, size, optional, file, out)
            : magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
                  TakeOptional<IMAGE_OPTIONAL_HEADER32>(data, size, optional, file, out);
    if (!known) return false;
    out.stamp.timeDateStamp = file.TimeDateStamp;
    out.stamp.sections = file.NumberOfSections;
    out.sectionTable = optional + file.SizeOfOptionalHeader;
    out.symbolTable = file.PointerToSymbolTable;
    out.symbols = file.NumberOfSymbols;
    return true;
}

} // namespace

bool LoadedImageStamp(const void* base, std::size_t size, ImageStamp& stamp) {
    Headers headers;
    if (!ParseHeaders(static_cast<const unsigned char*>(base),
                      size < kHeaderBytes ? size : kHeaderBytes, headers))
        return false;
    stamp = headers.stamp;
    return true;
}

namespace {

/// A file opened for reading by its wide name, closed when the object goes.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::wstring& path)
        : m_handle(CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER size;
        if (m_handle != INVALID_HANDLE_VALUE && GetFileSizeEx(m_handle, &size))
            m_size = static_cast<std::uint64_t>(size.QuadPart);
    }
    ~ReadOnlyFile() {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    std::uint64_t Size() const { return m_size; }

    /// Exactly `length` bytes at `offset`, all inside the file.
    bool ReadAt(std::uint64_t offset, void* buffer, std::uint64_t length) const {
        if (offset > m_size || m_size - offset < length) return false;
        auto* out = static_cast<unsigned char*>(buffer);
        while (length > 0) {
            const DWORD part = length < (1u << 30) ? static_cast<DWORD>(length) : (1u << 30);
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD done = 0;
            if (!ReadFile(m_handle, out, part, &done, &at) || done == 0) return false;
            out += done;
            offset += done;
            length -= done;
        }
        return true;
    }

    /// The file's headers, if it is the image with `stamp`.
    bool ReadHeaders(const ImageStamp& stamp, Headers& headers) const {
        unsigned char first[kHeaderBytes];
        const std::size_t length =
            m_size < sizeof first ? static_cast<std::size_t>(m_size) : sizeof first;
        return ReadAt(0, first, length) && ParseHeaders(first, length, headers) &&
               headers.stamp == stamp;
    }

private:
    HANDLE m_handle;
    std::uint64_t m_size = 0;
};

std::string Demangled(const char* mangled) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    const char* shown = status == 0 && demangled != nullptr ? demangled : mangled;
    std::string name(shown, WithoutParameters(shown));
    std::free(demangled);
    return name;
}

/// Frees a DIE when the scope ends.
struct HeldDie {
    Dwarf_Die die = nullptr;
    ~HeldDie() { dwarf_dealloc_die(die); }
};

} // namespace

struct DwarfModule::Image {
    struct Section {
        std::string name;
        std::uint64_t address = 0; ///< where the file would have it loaded
        std::uint64_t offset = 0;  ///< in the file
        std::uint64_t size = 0;
        std::uint64_t stored = 0; ///< bytes in the file; the rest are zeros
        std::vector<unsigned char> data;
        bool loaded = false;
    };

    /// A function's entry in the COFF symbol table.
    struct Symbol {
        std::uint64_t address; ///< where the file would have it loaded
        std::uint32_t name;    ///< offset in names
        std::uint16_t section; ///< 1-based, as in the table
    };

    std::wstring path;
    ImageStamp stamp;
    Headers headers;
    std::vector<Section> sections;           ///< the debug sections after an empty one, as in ELF
    std::vector<IMAGE_SECTION_HEADER> table; ///< every section
    std::vector<Symbol> symbols;             ///< by address
    std::vector<char> names;                 ///< the COFF string table, then the short names
    Dwarf_Obj_Access_Methods methods = {};
    Dwarf_Obj_Access_Interface access = {};

    /// The functions of the symbol table, which the string table names.
    void ReadSymbols(const ReadOnlyFile& file) {
        constexpr std::size_t kRecord = IMAGE_SIZEOF_SYMBOL;
        std::vector<unsigned char> records(std::size_t{headers.symbols} * kRecord);
        if (records.empty() || !file.ReadAt(headers.symbolTable, records.data(), records.size()))
            return;
        for (std::size_t i = 0; i < headers.symbols; ++i) {
            IMAGE_SYMBOL symbol;
            std::memcpy(&symbol, &records[i * kRecord], kRecord);
            i += symbol.NumberOfAuxSymbols;
            if (!ISFCN(symbol.Type) || symbol.SectionNumber <= 0 ||
                static_cast<std::size_t>(symbol.SectionNumber) > table.size())
                continue;
            std::uint32_t name = symbol.N.Name.Long;
            if (symbol.N.Name.Short != 0) { // the name itself, up to eight bytes
                name = static_cast<std::uint32_t>(names.size());
                names.insert(names.end(), symbol.N.ShortName,
                             symbol.N.ShortName +
                                 strnlen(reinterpret_cast<const char*>(symbol.N.ShortName),
                                         sizeof symbol.N.ShortName));
                names.push_back('\0');
            } else if (name < sizeof(std::uint32_t) || name >= names.size()) {
                continue;
            }
            const IMAGE_SECTION_HEADER& section = table[symbol.SectionNumber - 1];
            symbols.push_back(Symbol{headers.imageBase + section.VirtualAddress + symbol.Value,
                                     name, static_cast<std::uint16_t>(symbol.SectionNumber)});
        }
        std::stable_sort(symbols.begin(), symbols.end(),
                         [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
    }

    /// The function symbol at or before `pc` in the same section and not before
    /// `start`, or nullptr.
    const char* SymbolName(std::uint64_t pc, std::uint64_t start) const {
        auto after = std::upper_bound(
            symbols.begin(), symbols.end(), pc,
            [](std::uint64_t value, const Symbol& symbol) { return value < symbol.address; });
        if (after == symbols.begin()) return nullptr;
        const Symbol& symbol = *--after;
        const IMAGE_SECTION_HEADER& section = table[symbol.section - 1];
        const std::uint64_t sectionStart = headers.imageBase + section.VirtualAddress;
        const std::uint64_t size =
            std::max<std::uint64_t>(section.Misc.VirtualSize, section.SizeOfRawData);
        return pc - sectionStart < size && symbol.address >= start ? names.data() + symbol.name
                                                                   : nullptr;
    }

    /// The debug sections of the file, or false if it has none or is not the image.
    bool Read() {
        const ReadOnlyFile file(path);
        if (!file.ReadHeaders(stamp, headers) || headers.stamp.sections == 0) return false;
        table.resize(headers.stamp.sections);
        if (!file.ReadAt(headers.sectionTable, table.data(),
                         table.size() * sizeof(IMAGE_SECTION_HEADER)))
            return false;
        // Names longer than eight bytes are "/offset" into the COFF string table,
        // which follows the symbol table and starts with its own length.
        const std::uint64_t stringTable =
            headers.symbolTable + std::uint64_t{headers.symbols} * IMAGE_SIZEOF_SYMBOL;
        std::uint32_t stringsSize = 0;
        if (headers.symbolTable != 0 &&
            file.ReadAt(stringTable, &stringsSize, sizeof stringsSize) &&
            stringsSize > sizeof stringsSize && stringsSize <= file.Size() - stringTable) {
            names.resize(stringsSize + 1, '\0'); // a terminator even for a cut string
            if (!file.ReadAt(stringTable, names.data(), stringsSize)) names.clear();
        }
        sections.emplace_back();
        bool hasInfo = false;
        for (const IMAGE_SECTION_HEADER& header : table) {
            std::string name(
                reinterpret_cast<const char*>(header.Name),
                strnlen(reinterpret_cast<const char*>(header.Name), IMAGE_SIZEOF_SHORT_NAME));
            if (name.size() > 1 && name[0] == '/') {
                const unsigned long at = std::strtoul(name.c_str() + 1, nullptr, 10);
                if (at < sizeof stringsSize || at >= names.size()) continue;
                name = names.data() + at;
            }
            // Compressed (.zdebug) sections would need zlib; they are left out.
            if (name.compare(0, 7, ".debug_") != 0) continue;
            Section section;
            section.name = name;
            section.address = headers.imageBase + header.VirtualAddress;
            section.offset = header.PointerToRawData;
            section.size =
                header.Misc.VirtualSize != 0 ? header.Misc.VirtualSize : header.SizeOfRawData;
            section.stored = std::min<std::uint64_t>(section.size, header.SizeOfRawData);
            if (section.size == 0 || section.offset > file.Size() ||
                file.Size() - section.offset < section.stored)
                continue;
            hasInfo = hasInfo || name == ".debug_info";
            sections.push_back(std::move(section));
        }
        if (hasInfo) ReadSymbols(file);
        return hasInfo;
    }

    /// Reads a section into memory, from the file opened afresh.
    int Load(Dwarf_Half index, Dwarf_Small** data, int* error) {
        if (index == 0 || index >= sections.size()) return DW_DLV_NO_ENTRY;
        Section& section = sections[index];
        if (!section.loaded) {
            try {
                section.data.assign(section.size, 0);
            } catch (const std::bad_alloc&) {
                *error = DW_DLE_ALLOC_FAIL;
                return DW_DLV_ERROR;
            }
            const ReadOnlyFile file(path);
            Headers now;
            if (!file.ReadHeaders(stamp, now) ||
                !file.ReadAt(section.offset, section.data.data(), section.stored)) {
                std::vector<unsigned char>().swap(section.data);
                *error = DW_DLE_READ_ERROR;
                return DW_DLV_ERROR;
            }
            section.loaded = true;
        }
        *data = section.data.data();
        return DW_DLV_OK;
    }

    void Connect() {
        methods.get_section_info = [](void* object, Dwarf_Half index, Dwarf_Obj_Access_Section* out,
                                      int*) {
            const auto* image = static_cast<const Image*>(object);
            if (index >= image->sections.size()) return DW_DLV_NO_ENTRY;
            const Section& section = image->sections[index];
            *out = Dwarf_Obj_Access_Section();
            out->addr = section.address;
            out->size = section.size;
            out->name = section.name.c_str();
            return DW_DLV_OK;
        };
        methods.get_byte_order = [](void*) { return DW_OBJECT_LSB; };
        methods.get_length_size = [](void*) -> Dwarf_Small { return 4; };
        methods.get_pointer_size = [](void* object) -> Dwarf_Small {
            return static_cast<Dwarf_Small>(static_cast<const Image*>(object)->headers.pointerSize);
        };
        methods.get_section_count = [](void* object) -> Dwarf_Unsigned {
            return static_cast<const Image*>(object)->sections.size();
        };
        methods.load_section = [](void* object, Dwarf_Half index, Dwarf_Small** data, int* error) {
            return static_cast<Image*>(object)->Load(index, data, error);
        };
        access.object = this;
        access.methods = &methods;
    }
};

struct DwarfModule::Unit {
    struct Range {
        Dwarf_Addr low;
        Dwarf_Addr high; ///< one past the end
    };
    struct Function {
        Range code;
        Dwarf_Off die;
    };
    struct Row {
        Range code;
        std::uint32_t file; ///< index into files
        std::uint32_t line;
    };

    Dwarf_Off die = 0;
    Dwarf_Half version = 0;
    Dwarf_Addr base = 0; ///< for the range lists of DWARF 4
    std::vector<Range> code;
    bool read = false;
    std::vector<Function> functions;
    std::vector<Row> rows; ///< by address
    std::vector<std::string> files;
};

std::unique_ptr<DwarfModule> DwarfModule::Open(const std::wstring& path, std::uintptr_t base,
                                               const ImageStamp& stamp) {
    std::unique_ptr<DwarfModule> module(new DwarfModule);
    module->m_image.reset(new Image);
    Image& image = *module->m_image;
    image.path = path;
    image.stamp = stamp;
    if (!image.Read()) return nullptr;
    image.Connect();
    Dwarf_Error error = nullptr;
    if (dwarf_object_init_b(&image.access, nullptr, nullptr, DW_GROUPNUMBER_ANY, &module->m_dbg,
                            &error) != DW_DLV_OK) {
        dwarf_dealloc_error(nullptr, error);
        module->m_dbg = nullptr;
        return nullptr;
    }
    module->m_bias = image.headers.imageBase - base;
    return module;
}

DwarfModule::~DwarfModule() {
    if (m_dbg == nullptr) return;
    Dwarf_Error error = nullptr;
    if (dwarf_object_finish(m_dbg, &error) == DW_DLV_ERROR) dwarf_dealloc_error(nullptr, error);
}

// Every call is given the error pointer (without one libdwarf would abort); an
// error left there is freed at once.
int DwarfModule::Done(int result) {
    if (result == DW_DLV_ERROR && m_error != nullptr) dwarf_dealloc_error(m_dbg, m_error);
    m_error = nullptr;
    return result;
}

template <typename Add> void DwarfModule::ForEachRange(Dwarf_Die die, const Unit& unit, Add add) {
    Dwarf_Addr low = 0, high = 0;
    Dwarf_Half form = 0;
    Dwarf_Form_Class formClass = DW_FORM_CLASS_UNKNOWN;
    if (Done(dwarf_lowpc(die, &low, &m_error)) == DW_DLV_OK &&
        Done(dwarf_highpc_b(die, &high, &form, &formClass, &m_error)) == DW_DLV_OK) {
        if (formClass == DW_FORM_CLASS_CONSTANT) high += low;
        if (high > low) add(Unit::Range{low, high});
        return;
    }
    Dwarf_Attribute ranges = nullptr;
    if (Done(dwarf_attr(die, DW_AT_ranges, &ranges, &m_error)) != DW_DLV_OK) return;
    Dwarf_Unsigned list = 0;
    const bool indexed =
        Done(dwarf_whatform(ranges, &form, &m_error)) == DW_DLV_OK && form == DW_FORM_rnglistx;
    const bool known = indexed ? Done(dwarf_formudata(ranges, &list, &m_error)) == DW_DLV_OK
                               : Done(dwarf_global_formref(ranges, &list, &m_error)) == DW_DLV_OK;
    if (known && unit.version >= 5) {
        Dwarf_Rnglists_Head head = nullptr;
        Dwarf_Unsigned count = 0;
        if (Done(dwarf_rnglists_get_rle_head(ranges, form, list, &head, &count, nullptr,
                                             &m_error)) == DW_DLV_OK) {
            for (Dwarf_Unsigned i = 0; i < count; ++i) {
                unsigned length = 0, kind = 0;
                Dwarf_Unsigned raw1 = 0, raw2 = 0, start = 0, end = 0;
                Dwarf_Bool unavailable = false;
                if (Done(dwarf_get_rnglists_entry_fields_a(head, i, &length, &kind, &raw1, &raw2,
                                                           &unavailable, &start, &end, &m_error)) !=
                    DW_DLV_OK)
                    break;
                if (kind == DW_RLE_end_of_list) break;
                // The cooked addresses of the other kinds have their base applied.
                if (kind != DW_RLE_base_address && kind != DW_RLE_base_addressx && !unavailable &&
                    end > start)
                    add(Unit::Range{start, end});
            }
            dwarf_dealloc_rnglists_head(head);
        }
    } else if (known) {
        Dwarf_Ranges* entries = nullptr;
        Dwarf_Signed count = 0;
        Dwarf_Unsigned bytes = 0;
        Dwarf_Off realOffset = 0;
        if (Done(dwarf_get_ranges_b(m_dbg, list, die, &realOffset, &entries, &count, &bytes,
                                    &m_error)) == DW_DLV_OK) {
            Dwarf_Addr listBase = unit.base;
            for (Dwarf_Signed i = 0; i < count; ++i) {
                const Dwarf_Ranges& entry = entries[i];
                if (entry.dwr_type == DW_RANGES_END) break;
                if (entry.dwr_type == DW_RANGES_ADDRESS_SELECTION)
                    listBase = entry.dwr_addr2;
                else if (entry.dwr_addr2 > entry.dwr_addr1)
                    add(Unit::Range{listBase + entry.dwr_addr1, listBase + entry.dwr_addr2});
            }
            dwarf_ranges_dealloc(m_dbg, entries, count);
        }
    }
    dwarf_dealloc_attribute(ranges);
}

void DwarfModule::Index() {
    m_indexed = true;
    for (;;) {
        Unit unit;
        Dwarf_Half unitType = 0;
        if (Done(dwarf_next_cu_header_d(m_dbg, true, nullptr, &unit.version, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, &unitType,
                                        &m_error)) != DW_DLV_OK)
            return; // the end, or a unit libdwarf cannot read: the rest stays unknown
        HeldDie unitDie;
        if (Done(dwarf_siblingof_b(m_dbg, nullptr, true, &unitDie.die, &m_error)) != DW_DLV_OK ||
            Done(dwarf_dieoffset(unitDie.die, &unit.die, &m_error)) != DW_DLV_OK)
            continue;
        if (unitType == DW_UT_type || unitType == DW_UT_split_type) continue;
        if (Done(dwarf_lowpc(unitDie.die, &unit.base, &m_error)) != DW_DLV_OK) unit.base = 0;
        ForEachRange(unitDie.die, unit, [&](Unit::Range range) { unit.code.push_back(range); });
        if (!unit.code.empty()) m_units.push_back(std::move(unit));
    }
}

// Functions with code are found at the unit's top level and in namespaces;
// member functions defined in a class have their code outside it too.
void DwarfModule::AddFunctions(Dwarf_Die parent, Unit& unit, int depth) {
    HeldDie child;
    if (depth > 64 || Done(dwarf_child(parent, &child.die, &m_error)) != DW_DLV_OK) return;
    for (;;) {
        Dwarf_Half tag = 0;
        if (Done(dwarf_tag(child.die, &tag, &m_error)) == DW_DLV_OK) {
            Dwarf_Off offset = 0;
            if (tag == DW_TAG_subprogram &&
                Done(dwarf_dieoffset(child.die, &offset, &m_error)) == DW_DLV_OK)
                ForEachRange(child.die, unit, [&](Unit::Range range) {
                    unit.functions.push_back(Unit::Function{range, offset});
                });
            else if (tag == DW_TAG_namespace)
                AddFunctions(child.die, unit, depth + 1);
        }
        HeldDie next;
        if (Done(dwarf_siblingof_b(m_dbg, child.die, true, &next.die, &m_error)) != DW_DLV_OK)
            return;
        std::swap(child.die, next.die);
    }
}

void DwarfModule::AddLines(Dwarf_Die unitDie, Unit& unit) {
    Dwarf_Unsigned version = 0;
    Dwarf_Small tables = 0;
    Dwarf_Line_Context context = nullptr;
    if (Done(dwarf_srclines_b(unitDie, &version, &tables, &context, &m_error)) != DW_DLV_OK) return;
    Dwarf_Line* lines = nullptr;
    Dwarf_Signed count = 0;
    if (Done(dwarf_srclines_from_linecontext(context, &lines, &count, &m_error)) == DW_DLV_OK) {
        std::vector<std::pair<Dwarf_Unsigned, std::uint32_t>> fileIndex; // libdwarf's number, ours
        bool previous = false; // the row before, if it starts a range in the same sequence
        Unit::Row row = {};
        for (Dwarf_Signed i = 0; i < count; ++i) {
            Dwarf_Addr address = 0;
            Dwarf_Bool end = false;
            Dwarf_Unsigned number = 0, file = 0;
            if (Done(dwarf_lineaddr(lines[i], &address, &m_error)) != DW_DLV_OK ||
                Done(dwarf_lineendsequence(lines[i], &end, &m_error)) != DW_DLV_OK ||
                Done(dwarf_lineno(lines[i], &number, &m_error)) != DW_DLV_OK ||
                Done(dwarf_line_srcfileno(lines[i], &file, &m_error)) != DW_DLV_OK) {
                previous = false;
                continue;
            }
            // A row reaches to the next row's address; of rows at one address the last counts.
            if (previous && address > row.code.low) {
                row.code.high = address;
                unit.rows.push_back(row);
            }
            previous = !end;
            if (end) continue;
            auto known = std::find_if(fileIndex.begin(), fileIndex.end(),
                                      [&](const auto& entry) { return entry.first == file; });
            if (known == fileIndex.end()) {
                char* name = nullptr;
                if (Done(dwarf_linesrc(lines[i], &name, &m_error)) != DW_DLV_OK) {
                    previous = false;
                    continue;
                }
                unit.files.emplace_back(name);
                dwarf_dealloc(m_dbg, name, DW_DLA_STRING);
                known = fileIndex.emplace(fileIndex.end(), file,
                                          static_cast<std::uint32_t>(unit.files.size() - 1));
            }
            row = Unit::Row{{address, address}, known->second, static_cast<std::uint32_t>(number)};
        }
    }
    dwarf_srclines_dealloc_b(context);
    std::stable_sort(
        unit.rows.begin(), unit.rows.end(),
        [](const Unit::Row& a, const Unit::Row& b) { return a.code.low < b.code.low; });
}

void DwarfModule::ReadUnit(Unit& unit) {
    unit.read = true;
    HeldDie unitDie;
    if (Done(dwarf_offdie_b(m_dbg, unit.die, true, &unitDie.die, &m_error)) != DW_DLV_OK) return;
    AddFunctions(unitDie.die, unit, 0);
    AddLines(unitDie.die, unit);
}

// The definition of a function often names it only through the declaration it
// completes or the inline function it is an instance of.
std::string DwarfModule::FunctionName(Dwarf_Off offset) {
    std::string plain;
    for (int hop = 0; hop < 8; ++hop) {
        HeldDie die;
        if (Done(dwarf_offdie_b(m_dbg, offset, true, &die.die, &m_error)) != DW_DLV_OK) break;
        char* text = nullptr;
        if (Done(dwarf_die_text(die.die, DW_AT_linkage_name, &text, &m_error)) == DW_DLV_OK ||
            Done(dwarf_die_text(die.die, DW_AT_MIPS_linkage_name, &text, &m_error)) == DW_DLV_OK)
            return Demangled(text);
        if (plain.empty() &&
            Done(dwarf_die_text(die.die, DW_AT_name, &text, &m_error)) == DW_DLV_OK)
            plain = text;
        Dwarf_Attribute reference = nullptr;
        if (Done(dwarf_attr(die.die, kAttributeDeclarationOfThis, &reference, &m_error)) !=
                DW_DLV_OK &&
            Done(dwarf_attr(die.die, DW_AT_abstract_origin, &reference, &m_error)) != DW_DLV_OK)
            break;
        const bool followed = Done(dwarf_global_formref(reference, &offset, &m_error)) == DW_DLV_OK;
        dwarf_dealloc_attribute(reference);
        if (!followed) break;
    }
    return plain;
}

// COFF symbols have no sizes, and code without a symbol of its own (a static
// function of a library stripped of local symbols) would take the name of the
// function before it. On x64 every function that calls another has unwind
// data, which says where it starts: a symbol before that start is another's.
Dwarf_Addr DwarfModule::FunctionStart(std::uintptr_t at) const {
#if defined(__x86_64__)
    DWORD64 base = 0;
    if (const RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(at, &base, nullptr))
        return base + function->BeginAddress + m_bias;
#endif
    (void)at;
    return 0;
}

SourcePlace DwarfModule::Describe(std::uintptr_t at) {
    SourcePlace place;
    const Dwarf_Addr pc = at + m_bias;
    if (const char* symbol = m_image->SymbolName(pc, FunctionStart(at)))
        place.name = Demangled(symbol);
    if (!m_indexed) Index();
    for (Unit& unit : m_units) {
        if (std::none_of(unit.code.begin(), unit.code.end(),
                         [pc](const Unit::Range& r) { return r.low <= pc && pc < r.high; }))
            continue;
        if (!unit.read) ReadUnit(unit);
        // Without a symbol, the innermost function: a nested one lies within its parent.
        const Unit::Function* function = nullptr;
        for (const Unit::Function& f : unit.functions)
            if (place.name.empty() && f.code.low <= pc && pc < f.code.high &&
                (function == nullptr ||
                 f.code.high - f.code.low < function->code.high - function->code.low))
                function = &f;
        auto row = std::upper_bound(
            unit.rows.begin(), unit.rows.end(), pc,
            [](Dwarf_Addr value, const Unit::Row& r) { return value < r.code.low; });
        const bool located = row != unit.rows.begin() && pc < (--row)->code.high;
        if (function == nullptr && !located) continue;
        if (function != nullptr) place.name = FunctionName(function->die);
        if (located) {
            place.file = unit.files[row->file];
            place.line = static_cast<int>(row->line);
        }
        return place;
    }
    return place;
}

} // namespace NUVZubPlatform
