// brix_gen_samples: derives every input file of a sample device from one description of its geometry.
//
//   brix_gen_samples --description FILE --out DIR [--installation DIR] [--device NAME]...
//
// The description (JSON, see docs/sample_generator.md) gives per family the settings of its generation and
// per device what differs; frames, bits, CFF bits and the RBA path come from the installation's device table,
// so the inputs and the device database agree by construction. For each device the generator writes into
// DIR/<device>/ the device XML, the gzip'd RBA text (<device>.rbaz) and, where the family has one, the
// gzip'd RIF (<device>_rif); with --installation it also writes the RBA as <rba_file>z where the device table
// names it. Every file lands whole. The same description and seed give byte-identical files.
//
// A generation is a list of emitters (GENERATIONS below); a later input kind is one more emitter with its own
// random stream, so adding one leaves the files of the others unchanged.
#include "bit_matrix.h"
#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgm_family_tables.h"
#include "pgm_rba_type.h"
#include "records/brix_data_manager.h"

#include <nlohmann/json.hpp>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using JSON = nlohmann::json;

// ---- Checks
// ------------------------------------------------------------------------------------------------

[[noreturn]] void invalid(const std::string& what) {
    BRIX_REPORT("Invalid sample description: " + what);
}

const JSON& member(const JSON& object, const char* key) {
    if (!object.is_object() || !object.contains(key))
        invalid(std::string("\"") + key + "\" is missing");
    return object.at(key);
}

unsigned u32_of(const JSON& value, const std::string& key) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xFFFFFFFFull)
        invalid("\"" + key + "\" must be an unsigned 32-bit number");
    return value.get<unsigned>();
}

unsigned u32(const JSON& object, const char* key) {
    return u32_of(member(object, key), key);
}

unsigned u32_or(const JSON& object, const char* key, unsigned fallback) {
    return object.contains(key) ? u32(object, key) : fallback;
}

bool flag(const JSON& object, const char* key) {
    const JSON& value = member(object, key);
    if (!value.is_boolean())
        invalid(std::string("\"") + key + "\" must be true or false");
    return value.get<bool>();
}

std::string text(const JSON& object, const char* key) {
    const JSON& value = member(object, key);
    if (!value.is_string() || value.get<std::string>().empty())
        invalid(std::string("\"") + key + "\" must be a non-empty string");
    return value.get<std::string>();
}

std::vector<unsigned> u32_list(const JSON& object, const char* key) {
    const JSON& value = member(object, key);
    if (!value.is_array())
        invalid(std::string("\"") + key + "\" must be an array");
    std::vector<unsigned> list;
    for (const JSON& item : value)
        list.push_back(u32_of(item, key));
    return list;
}

JSON read_json(const std::string& path) {
    INPUT_CONTEXT here(path);
    std::vector<unsigned char> bytes;
    BRIX_CHECK(FIO_FILE_SYSTEM::read_file(path, bytes), "Cannot read " + path);
    JSON document = JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded())
        invalid("not JSON");
    return document;
}

// ---- Random streams --------------------------------------------------------------------------------------

uint64_t fnv1a(const std::string& text) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : text)
        hash = (hash ^ c) * 0x100000001B3ull;
    return hash;
}

// splitmix64: a fixed algorithm, so a seed gives the same numbers with every compiler and library.
class SAMPLE_RNG {
  public:
    SAMPLE_RNG(uint64_t seed, const std::string& device, const std::string& stream)
        : m_state(seed ^ fnv1a(device) ^ (fnv1a(stream) << 1)) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number below n (n > 0).
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }

  private:
    uint64_t m_state;
};

// ---- Device geometry
// ---------------------------------------------------------------------------------------

struct BLOCK_SHAPE {
    std::string name;
    unsigned frames = 0;
    unsigned bits = 0;
    std::string frame_mirror; // "0", "1" or "alternate" (by the block's column ordinal)
    std::string bit_mirror;   // "0", "1" or "alternate" (by tile row)
};

struct COLUMN {
    const BLOCK_SHAPE* block = nullptr;
    unsigned index = 0;   // position among all columns (the X of a tile name)
    unsigned ordinal = 0; // position among the columns of its block
    unsigned first_frame = 0;
};

struct SPARE_ROWS {
    unsigned start = 0;
    unsigned count = 0;
};

struct DEVICE {
    std::string name;   // device vocabulary name, upper case
    std::string stem;   // name in lower case: the file names of the device
    std::string family; // family vocabulary name
    std::string generation;
    unsigned frames = 0;
    unsigned bits = 0;
    unsigned cff_bits = 0;
    std::string rba_file; // relative to the installation, as the device table names it; may be empty
    std::string pcf;      // the name the programmer knows the device by (the device table's, else the name)
    uint64_t seed = 0;
    JSON settings; // the family's settings with the device's own merged over them
    std::map<std::string, BLOCK_SHAPE> blocks;
    std::vector<COLUMN> columns; // in frame order
    std::vector<SPARE_ROWS> spare_rows;

    // Tile rows of a block in a column: whole tiles from bit 0 up.
    unsigned tile_rows(const BLOCK_SHAPE& block) const { return bits / block.bits; }
    const BLOCK_SHAPE& block(const std::string& name) const {
        auto it = blocks.find(name);
        if (it == blocks.end())
            invalid("block " + name + " is not among the family's blocks");
        return it->second;
    }
};

void read_blocks(DEVICE& device) {
    const JSON& blocks = member(device.settings, "blocks");
    if (!blocks.is_object() || blocks.empty())
        invalid("\"blocks\" must be an object naming at least one block");
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
        INPUT_CONTEXT here("block " + it.key());
        BLOCK_SHAPE shape;
        shape.name = it.key();
        shape.frames = u32(it.value(), "frames");
        shape.bits = u32(it.value(), "bits");
        if (shape.frames == 0 || shape.bits == 0 || shape.bits > device.bits)
            invalid("a block needs frames and bits above 0, and no more bits than the device");
        shape.frame_mirror = it.value().value("frame_mirror", "0");
        shape.bit_mirror = it.value().value("bit_mirror", "0");
        for (const std::string& mirror : {shape.frame_mirror, shape.bit_mirror})
            if (mirror != "0" && mirror != "1" && mirror != "alternate")
                invalid("a mirror is \"0\", \"1\" or \"alternate\"");
        device.blocks[shape.name] = shape;
    }
}

// Left IO column at frame 0, then the column pattern over and over while a whole pattern column and the right
// IO column still fit, the right IO column at the last frames. Frames between hold no tiles.
void lay_out_columns(DEVICE& device) {
    const JSON& io = member(device.settings, "io_columns");
    const BLOCK_SHAPE& left = device.block(text(io, "left"));
    const BLOCK_SHAPE& right = device.block(text(io, "right"));
    const JSON& pattern_json = member(device.settings, "column_pattern");
    std::vector<const BLOCK_SHAPE*> pattern;
    for (const JSON& name : pattern_json) {
        if (!name.is_string())
            invalid("\"column_pattern\" lists block names");
        pattern.push_back(&device.block(name.get<std::string>()));
    }
    if (pattern.empty())
        invalid("\"column_pattern\" is empty");
    if (uint64_t(left.frames) + right.frames > device.frames)
        invalid("the IO columns do not fit in the device's frames");
    std::map<const BLOCK_SHAPE*, unsigned> ordinals;
    auto add = [&](const BLOCK_SHAPE* block, unsigned first_frame) {
        device.columns.push_back(
            {block, static_cast<unsigned>(device.columns.size()), ordinals[block]++, first_frame});
    };
    add(&left, 0);
    unsigned frame = left.frames;
    const unsigned end = device.frames - right.frames;
    for (size_t i = 0; frame + pattern[i % pattern.size()]->frames <= end; ++i) {
        add(pattern[i % pattern.size()], frame);
        frame += pattern[i % pattern.size()]->frames;
    }
    add(&right, end);
}

void read_spare_rows(DEVICE& device) {
    if (!device.settings.contains("spare_rows"))
        return;
    uint64_t next_free = 0;
    for (const JSON& row : device.settings.at("spare_rows")) {
        if (!row.is_array() || row.size() != 2)
            invalid("\"spare_rows\" lists [first frame, frame count] pairs");
        SPARE_ROWS spare{u32_of(row[0], "spare_rows"), u32_of(row[1], "spare_rows")};
        if (spare.count == 0 || spare.start < next_free ||
            uint64_t(spare.start) + spare.count > device.frames)
            invalid("spare rows must be ascending, non-overlapping, non-empty and inside the frames");
        next_free = uint64_t(spare.start) + spare.count;
        device.spare_rows.push_back(spare);
    }
}

// One block instance of the CRAM: the block of a column in one tile row, with its mirrors.
struct TILE {
    const COLUMN* column = nullptr;
    unsigned row = 0;
    unsigned frame_mirror = 0;
    unsigned bit_mirror = 0;

    unsigned frame_index() const { return column->first_frame; }
    unsigned bit_index() const { return row * column->block->bits; }
};

// Every tile in RBA order: the tiles of one block together, blocks in order of their first column, then by
// column and tile row, whole tiles from bit 0 up to cram_bits. Mirrors follow the block's rules: by the
// block's column ordinal for frames, by the tile row for bits.
std::vector<TILE> cram_tiles(const DEVICE& device, unsigned cram_bits) {
    auto mirror = [](const std::string& rule, unsigned n) {
        return rule == "alternate" ? n % 2 : unsigned(rule == "1");
    };
    std::vector<const BLOCK_SHAPE*> order;
    for (const COLUMN& column : device.columns)
        if (std::find(order.begin(), order.end(), column.block) == order.end())
            order.push_back(column.block);
    std::vector<TILE> tiles;
    for (const BLOCK_SHAPE* block : order)
        for (const COLUMN& column : device.columns)
            if (column.block == block)
                for (unsigned row = 0; row < cram_bits / block->bits; ++row)
                    tiles.push_back({&column, row, mirror(block->frame_mirror, column.ordinal),
                                     mirror(block->bit_mirror, row)});
    return tiles;
}

struct TABLE_ENTRY {
    std::string family;
    unsigned frames = 0;
    unsigned bits = 0;
    unsigned cff_bits = 0;
    std::string rba_file;
    std::string pcf;
};

std::map<std::string, TABLE_ENTRY> read_device_table(const std::string& installation) {
    const std::string path = installation + "/devdb/device_table.json";
    JSON table = read_json(path);
    INPUT_CONTEXT here(path);
    std::map<std::string, TABLE_ENTRY> entries;
    for (const JSON& device : member(table, "devices")) {
        TABLE_ENTRY entry;
        entry.family = text(device, "family");
        entry.frames = u32_or(device, "cram_columns", 0);
        entry.bits = u32_or(device, "cram_rows", 0);
        entry.cff_bits = u32_or(device, "cff_bits", 0);
        entry.rba_file = device.value("rba_file", "");
        entry.pcf = stl_upper(device.value("pcf", ""));
        entries[stl_upper(text(device, "name"))] = entry;
    }
    return entries;
}

// The device of a description entry: its family's settings with its own merged over them, and its geometry
// from the device table where the table knows the device (a description value that disagrees is refused).
DEVICE describe_device(const JSON& description, const JSON& entry,
                       const std::map<std::string, TABLE_ENTRY>& table, uint64_t seed) {
    DEVICE device;
    device.name = stl_upper(text(entry, "name"));
    device.stem = stl_lower(device.name);
    device.seed = seed;
    auto known = table.find(device.name);
    device.family = entry.contains("family") ? stl_upper(text(entry, "family"))
                                             : (known != table.end() ? known->second.family : "");
    if (device.family.empty())
        invalid("the device is not in the device table and names no family");
    unsigned value = 0;
    if (!BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_DEVICE, device.name, &value))
        invalid("device " + device.name + " is not a device of the vocabulary");
    if (!BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_FAMILY, device.family, &value))
        invalid("family " + device.family + " is not a family of the vocabulary");

    const JSON& families = member(description, "families");
    device.settings = member(families, device.family.c_str());
    device.settings.merge_patch(entry);
    device.generation = text(device.settings, "generation");

    auto geometry = [&](const char* key, unsigned from_table) {
        if (known != table.end() && from_table != 0) {
            if (device.settings.contains(key) && u32(device.settings, key) != from_table)
                invalid(std::string("\"") + key + "\" disagrees with the device table (" +
                        std::to_string(from_table) + ")");
            return from_table;
        }
        return u32(device.settings, key);
    };
    const TABLE_ENTRY none;
    const TABLE_ENTRY& row = known != table.end() ? known->second : none;
    device.frames = geometry("frames", row.frames);
    device.bits = geometry("bits", row.bits);
    device.cff_bits = geometry("cff_bits", row.cff_bits);
    device.rba_file = row.rba_file;
    device.pcf = row.pcf.empty() ? device.name : row.pcf;
    if (device.frames == 0 || device.bits == 0)
        invalid("a device needs frames and bits above 0");

    read_blocks(device);
    lay_out_columns(device);
    read_spare_rows(device);
    return device;
}

// ---- Output files
// ---------------------------------------------------------------------------------------------

// gzip data of the text, in memory (a gzip header without a time stamp, so the bytes depend on the text
// only).
std::vector<unsigned char> gzip(const unsigned char* data, size_t size) {
    z_stream stream{};
    BRIX_CHECK(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) ==
                   Z_OK,
               "deflateInit2 == Z_OK");
    BRIX_CHECK(size <= 0xFFFFFFFFu, "size <= 0xFFFFFFFF");
    std::vector<unsigned char> out(deflateBound(&stream, static_cast<uLong>(size)) + 32);
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    BRIX_CHECK(status == Z_STREAM_END, "deflate(Z_FINISH) == Z_STREAM_END");
    return out;
}

std::vector<unsigned char> gzip(const std::string& text) {
    return gzip(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    FIO_ATOMIC_FILE file(path);
    file.write(bytes);
    file.commit();
}

// What the emitters of one device write: files under the device's directory and the installation.
struct OUTPUTS {
    std::string device_dir;   // ends with "/"
    std::string installation; // ends with "/", empty when not given
    std::vector<std::string> written;

    void device_file(const std::string& name, const std::vector<unsigned char>& bytes) {
        write_file(device_dir + name, bytes);
        written.push_back(device_dir + name);
    }
    void installation_file(const std::string& relative, const std::vector<unsigned char>& bytes) {
        if (installation.empty() || relative.empty())
            return;
        write_file(installation + relative, bytes);
        written.push_back(installation + relative);
    }
    // A source file of the programmer databases, in the installation's unshipped/pgm_db/.
    void pgm_db_file(const std::string& name, const std::vector<unsigned char>& bytes) {
        if (installation.empty())
            return;
        std::error_code error;
        std::filesystem::create_directories(installation + "unshipped/pgm_db", error);
        BRIX_CHECK(!error, "Cannot create " + installation + "unshipped/pgm_db: " + error.message());
        installation_file("unshipped/pgm_db/" + name, bytes);
    }
};

// ---- Device XML
// ----------------------------------------------------------------------------------------------

// Builds a device XML through the XML library and serialises it.
class DEVICE_XML {
  public:
    DEVICE_XML(const std::string& device, const std::string& family) {
        xercesc::DOMImplementation* implementation =
            xercesc::DOMImplementationRegistry::getDOMImplementation(u"LS");
        m_document.reset(implementation->createDocument(nullptr, u"device", nullptr));
        m_root = m_document->getDocumentElement();
        set(m_root, "name", device);
        set(m_root, "family", family);
    }

    // A parameter with its values at offsets 0, 1, ... (every value listed, zeros too).
    void parameter(const std::string& name, const std::string& block, const std::vector<unsigned>& values) {
        xercesc::DOMElement* element = parameter_element(name, block, values.size());
        for (size_t offset = 0; offset < values.size(); ++offset)
            const_val(element, std::to_string(values[offset]), unsigned(offset));
    }
    void parameter(const std::string& name, const std::string& block, unsigned value) {
        parameter(name, block, std::vector<unsigned>{value});
    }
    // A parameter whose one value is a text (file names, RBA strings) at the given offset.
    void text_parameter(const std::string& name, const std::string& block, const std::string& value,
                        unsigned offset) {
        const_val(parameter_element(name, block, 1), value, offset);
    }
    // A parameter of texts at offsets 0, 1, ...
    void text_parameter(const std::string& name, const std::string& block,
                        const std::vector<std::string>& values) {
        xercesc::DOMElement* element = parameter_element(name, block, values.size());
        for (size_t offset = 0; offset < values.size(); ++offset)
            const_val(element, values[offset], unsigned(offset));
    }

    // A uint_argument of rows of values: one arg_data per row, attributes v0, v1, ...
    void uint_argument(const std::string& name, const std::string& block,
                       const std::vector<std::vector<unsigned>>& rows) {
        xercesc::DOMElement* argument = element(m_root, u"uint_argument");
        set(argument, "name", name);
        set(argument, "block", block);
        set(argument, "width", std::to_string(rows.empty() ? 0 : rows[0].size()));
        for (const std::vector<unsigned>& row : rows) {
            xercesc::DOMElement* data = element(argument, u"arg_data");
            for (size_t v = 0; v < row.size(); ++v)
                set(data, ("v" + std::to_string(v)).c_str(), std::to_string(row[v]));
        }
    }

    std::string serialise() const {
        xercesc::DOMImplementation* implementation =
            xercesc::DOMImplementationRegistry::getDOMImplementation(u"LS");
        std::unique_ptr<xercesc::DOMLSSerializer, void (*)(xercesc::DOMLSSerializer*)> serializer(
            implementation->createLSSerializer(), [](xercesc::DOMLSSerializer* s) { s->release(); });
        serializer->getDomConfig()->setParameter(xercesc::XMLUni::fgDOMWRTFormatPrettyPrint, true);
        std::unique_ptr<XMLCh, void (*)(XMLCh*)> text(serializer->writeToString(m_document.get()),
                                                      [](XMLCh* p) { xercesc::XMLString::release(&p); });
        char* narrow = xercesc::XMLString::transcode(text.get());
        std::string result = narrow;
        xercesc::XMLString::release(&narrow);
        // The serialiser names the in-memory encoding (UTF-16); the file is written in UTF-8.
        const std::string utf16 = "encoding=\"UTF-16\"";
        size_t at = result.find(utf16);
        if (at != std::string::npos)
            result.replace(at, utf16.size(), "encoding=\"UTF-8\"");
        return result + "\n";
    }

  private:
    struct RELEASE {
        void operator()(xercesc::DOMDocument* document) const { document->release(); }
    };

    static void set(xercesc::DOMElement* element, const char* name, const std::string& value) {
        XMLCh* xml_name = xercesc::XMLString::transcode(name);
        XMLCh* xml_value = xercesc::XMLString::transcode(value.c_str());
        element->setAttribute(xml_name, xml_value);
        xercesc::XMLString::release(&xml_name);
        xercesc::XMLString::release(&xml_value);
    }
    xercesc::DOMElement* element(xercesc::DOMElement* parent, const char16_t* tag) {
        xercesc::DOMElement* child = m_document->createElement(tag);
        parent->appendChild(child);
        return child;
    }
    xercesc::DOMElement* parameter_element(const std::string& name, const std::string& block, size_t length) {
        xercesc::DOMElement* parameter = element(m_root, u"parameter");
        set(parameter, "name", name);
        set(parameter, "block", block);
        set(parameter, "length", std::to_string(length));
        return parameter;
    }
    void const_val(xercesc::DOMElement* parameter, const std::string& value, unsigned offset) {
        xercesc::DOMElement* constant = element(parameter, u"const_val");
        set(constant, "value", value);
        set(constant, "offset", std::to_string(offset));
    }

    std::unique_ptr<xercesc::DOMDocument, RELEASE> m_document;
    xercesc::DOMElement* m_root = nullptr;
};

// ---- 28nm generation -------------------------------------------------------------------------------------

// DRAS: per dataline the rows without data. Given, or derived: F = ceil((N - S) / W) + extra rows, and the
// F * W - (N - S) rows without data spread evenly, the first datalines taking one more.
struct DATALINES {
    unsigned width = 0;      // W
    unsigned frame_size = 0; // F
    std::vector<unsigned> dras;
};

DATALINES datalines_28nm(const DEVICE& device) {
    const JSON& s = device.settings;
    DATALINES lines;
    lines.width = u32(s, "config_data_width");
    if (lines.width != 8 && lines.width != 32)
        invalid("\"config_data_width\" must be 8 or 32");
    const unsigned edcrc = u32(s, "edcrc_bits");
    if (edcrc >= device.bits)
        invalid("\"edcrc_bits\" must be below the bits of a frame");
    const uint64_t data_bits = device.bits - edcrc;
    if (s.contains("dras")) {
        lines.frame_size = u32(s, "parallel_frame_size");
        lines.dras = u32_list(s, "dras");
        uint64_t capacity = 0;
        for (unsigned d : lines.dras)
            capacity += d <= lines.frame_size ? lines.frame_size - d : 0;
        if (lines.dras.size() != lines.width || capacity < data_bits)
            invalid("\"dras\" needs one value per dataline and room for every data bit");
        return lines;
    }
    const uint64_t frame_size = (data_bits + lines.width - 1) / lines.width + u32_or(s, "extra_rows", 0);
    if (frame_size > 0xFFFFFFFFull)
        invalid("the parallel frame size does not fit 32 bits");
    lines.frame_size = static_cast<unsigned>(frame_size);
    const uint64_t surplus = frame_size * lines.width - data_bits;
    for (unsigned d = 0; d < lines.width; ++d)
        lines.dras.push_back(
            static_cast<unsigned>(surplus / lines.width + (d < surplus % lines.width ? 1 : 0)));
    return lines;
}

// The LUTRAM or MRAM settings of a family ("lutram", "mram"), checked against the block they name.
struct RAM_SETTINGS {
    const BLOCK_SHAPE* block = nullptr;
    std::string rba_string;
    unsigned col_offset = 0;
    unsigned real_col_size = 0;
};

RAM_SETTINGS ram_settings(const DEVICE& device, const char* key) {
    RAM_SETTINGS ram;
    if (!device.settings.contains(key))
        return ram;
    INPUT_CONTEXT here(key);
    const JSON& s = device.settings.at(key);
    ram.block = &device.block(text(s, "block"));
    ram.rba_string = text(s, "rba_string");
    ram.col_offset = u32(s, "col_offset");
    ram.real_col_size = u32(s, "real_col_size");
    if (uint64_t(ram.col_offset) + ram.real_col_size > ram.block->frames)
        invalid("col_offset + real_col_size must not exceed the block's frames");
    return ram;
}

// The RBA text: the tiles of every block in the $BLOCK_CRAM section (the lines of one block together, blocks
// in order of their first column), then the LUTRAM and MRAM positions in a section of their own.
std::string rba_text(const DEVICE& device, const RAM_SETTINGS& lutram, const RAM_SETTINGS& mram) {
    std::string out = "# " + device.name + ": generated sample RBA description (format version 0)\n# " +
                      std::to_string(device.frames) + " frames x " + std::to_string(device.bits) +
                      " bits; one line per tile: block, tile, frame_size, bit_size, frame_index, bit_index, "
                      "frame_mirror, bit_mirror\n$BLOCK_HEADER\nDEVICE " +
                      device.name + "\n$BLOCK_CRAM\n";
    auto tile = [&](const std::string& kind, const TILE& t) {
        const BLOCK_SHAPE& b = *t.column->block;
        out += kind + " X" + std::to_string(t.column->index) + "Y" + std::to_string(t.row) + " " +
               std::to_string(b.frames) + " " + std::to_string(b.bits) + " " +
               std::to_string(t.frame_index()) + " " + std::to_string(t.bit_index()) + " " +
               std::to_string(t.frame_mirror) + " " + std::to_string(t.bit_mirror) + "\n";
    };
    for (const TILE& t : cram_tiles(device, device.bits))
        tile(t.column->block->name, t);
    out += "$BLOCK_RAM\n# kind, tile, column size, row size, column (frame), row (bit), 0, 0\n";
    for (const RAM_SETTINGS* ram : {&lutram, &mram})
        if (ram->block != nullptr)
            for (const COLUMN& column : device.columns)
                if (column.block == ram->block)
                    for (unsigned row = 0; row < device.tile_rows(*ram->block); ++row)
                        tile(ram->rba_string, TILE{&column, row, 0, 0});
    return out + "$BLOCK_END\n";
}

// The RIF: for every frame of the columns of the listed blocks and every tile row, bits_per_tile bits of the
// tile, each with 1 to max_references references to bits of the same column and tile row. Lines in frame and
// bit order.
std::string rif_text(const DEVICE& device, const JSON& rif, unsigned version) {
    SAMPLE_RNG rng(device.seed, device.name, "rif");
    std::set<const BLOCK_SHAPE*> blocks;
    for (const JSON& name : member(rif, "blocks"))
        blocks.insert(&device.block(name.get<std::string>()));
    const unsigned per_tile = u32_or(rif, "bits_per_tile", 1);
    const unsigned max_references = u32_or(rif, "max_references", 2);
    if (per_tile == 0 || max_references == 0)
        invalid("\"bits_per_tile\" and \"max_references\" must be above 0");
    std::string out = "$RIF\n";
    auto pair = [&](unsigned frame, unsigned bit) {
        return version == 0 ? std::to_string(frame) + " " + std::to_string(bit)
                            : std::to_string(bit) + " " + std::to_string(frame);
    };
    for (const COLUMN& column : device.columns) {
        const BLOCK_SHAPE& b = *column.block;
        if (!blocks.count(&b))
            continue;
        for (unsigned frame = column.first_frame; frame < column.first_frame + b.frames; ++frame)
            for (unsigned row = 0; row < device.tile_rows(b); ++row) {
                std::set<unsigned> bits;
                while (bits.size() < std::min(per_tile, b.bits))
                    bits.insert(row * b.bits + rng.below(b.bits));
                for (unsigned bit : bits) {
                    const unsigned n = 1 + rng.below(max_references);
                    out += pair(frame, bit) + " " + std::to_string(n);
                    for (unsigned k = 0; k < n; ++k) {
                        const unsigned ref_frame = column.first_frame + rng.below(b.frames);
                        const unsigned ref_bit = row * b.bits + rng.below(b.bits);
                        out += " " + pair(ref_frame, ref_bit) + " " + std::to_string(rng.below(2)) + " " +
                               std::to_string(rng.below(256));
                    }
                    out += "\n";
                }
            }
    }
    return out;
}

void emit_28nm(const DEVICE& device, OUTPUTS& outputs) {
    const JSON& s = device.settings;
    const DATALINES lines = datalines_28nm(device);
    const RAM_SETTINGS lutram = ram_settings(device, "lutram");
    const RAM_SETTINGS mram = ram_settings(device, "mram");

    DEVICE_XML xml(device.name, device.family);
    // Minor-version bits ride in the offset of CRAM_ALGO (bit 1: LUTRAM/MRAM parameters from the RBA file).
    xml.text_parameter("CRAM_ALGO", "CRAM", "2", u32_or(s, "cram_algo_minor", 2));
    xml.parameter("CRAM_FRAME_COUNT", "CRAM", device.frames);
    xml.parameter("CRAM_BIT_COUNT", "CRAM", device.bits);
    xml.parameter("CFF_BITS", "IOCSR", device.cff_bits);
    xml.parameter("SOF_CRAM_INCLUDE_EDCRC_BITS", "CRAM", u32(s, "edcrc_bits"));
    xml.parameter("CRAM_PARALLEL_FRAME_SIZE", "CRAM", lines.frame_size);
    xml.parameter("CRAM_RBF_PADDING", "CRAM", u32(s, "rbf_padding"));
    xml.parameter("CRAM_G2_RBF_PADDING", "CRAM", u32(s, "g2_rbf_padding"));
    xml.parameter("DRAS", "CRAM", lines.dras);
    xml.parameter("BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT", "CRAM", flag(s, "lowest_segment") ? 1 : 0);
    xml.parameter("BS_CRAM_FILLED_UP_WITH_LOWEST_WORD", "CRAM", flag(s, "lowest_word") ? 1 : 0);
    // Frames are the columns of the image (the FID build of this generation requires it).
    xml.parameter("COL_AS_FRAME", "CRAM", !s.contains("col_as_frame") || flag(s, "col_as_frame") ? 1 : 0);

    unsigned mapping_offset = 0;
    std::vector<unsigned> mapping;
    if (s.contains("lutram_mapping")) {
        INPUT_CONTEXT here("lutram_mapping");
        const JSON& m = s.at("lutram_mapping");
        mapping_offset = u32(m, "offset");
        mapping = u32_list(m, "order");
        std::vector<unsigned> sorted = mapping;
        std::sort(sorted.begin(), sorted.end());
        for (unsigned k = 0; k < sorted.size(); ++k)
            if (sorted[k] != k)
                invalid("\"order\" must be a permutation of 0 .. length - 1");
        if (lutram.block == nullptr || uint64_t(mapping_offset) + mapping.size() > lutram.block->frames)
            invalid("the mapping needs LUTRAM columns and must lie inside one");
    }
    xml.parameter("LUTRAM_MAPPING_OFFSET", "CRAM", mapping_offset);
    if (!mapping.empty())
        xml.parameter("LUTRAM_MAPPING", "CRAM", mapping);
    if (lutram.block != nullptr) {
        // The FID build checks the LUTRAM frames against the programmer's family table.
        const uint32_t row = find_pgm_family_info(device.family);
        if (row != uint32_t(-1) && PGM_FAMILY_INFO_DATABASE[row].fid_version < 2 &&
            (PGM_FAMILY_INFO_DATABASE[row].lutram_frame_offset != lutram.col_offset ||
             PGM_FAMILY_INFO_DATABASE[row].lutram_frame_size != lutram.real_col_size))
            invalid("the LUTRAM col_offset and real_col_size must be the family's LUTRAM frame offset and "
                    "size (" +
                    std::to_string(PGM_FAMILY_INFO_DATABASE[row].lutram_frame_offset) + ", " +
                    std::to_string(PGM_FAMILY_INFO_DATABASE[row].lutram_frame_size) + ")");
        xml.text_parameter("RBA_LUTRAM_STRING", "CRAM", lutram.rba_string, 0);
        xml.parameter("LUTRAM_COL_OFFSET", "CRAM", lutram.col_offset);
        xml.parameter("LUTRAM_REAL_COL_SIZE", "CRAM", lutram.real_col_size);
    }
    if (mram.block != nullptr) {
        xml.text_parameter("RBA_MRAM_STRING", "CRAM", mram.rba_string, 0);
        xml.parameter("MRAM_COL_OFFSET", "CRAM", mram.col_offset);
        xml.parameter("MRAM_REAL_COL_SIZE", "CRAM", mram.real_col_size);
    }
    if (s.contains("rif")) {
        INPUT_CONTEXT here("rif");
        const unsigned version = u32(s.at("rif"), "version");
        if (version > 2)
            invalid("the RIF version is 0, 1 or 2");
        xml.text_parameter("SUPPORT_RIF", "CRAM", device.stem, version);
        outputs.device_file(device.stem + "_rif", gzip(rif_text(device, s.at("rif"), version)));
    }
    const std::string xml_text = xml.serialise();
    outputs.device_file(device.stem + ".xml", std::vector<unsigned char>(xml_text.begin(), xml_text.end()));
    const std::vector<unsigned char> rba = gzip(rba_text(device, lutram, mram));
    outputs.device_file(device.stem + ".rbaz", rba);
    outputs.installation_file(device.rba_file.empty() ? "" : device.rba_file + "z", rba);
}

// ---- HARRIER generation ----------------------------------------------------------------------------------
//
// A HARRIER chip is a grid of CRAM columns (frames) x rows (bits). Every column is one of a few column kinds
// that repeat down the chip in five row segments: 26 rows, 70 rows repeated T2 times, 70 rows, 70 rows
// repeated T4 times, 26 rows (bits = 52 + 70 x (T2 + 1 + T4)). Left of the flash IP the kinds follow the
// family's column pattern (one IV block at the top and one at the bottom, the kind's 70-row block in every
// other segment); the flash IP covers the rows of the first two segments of the flash columns, with L blocks
// and an IV block below it; the last column holds the faked flash rows, 70 empty rows, the HIOR blocks (T4 of
// them) and 26 empty rows. The family's uniquified files list one column per kind, so every column of every
// device of the family matches one of them.

namespace harrier {

constexpr unsigned SEGMENT_ROWS[5] = {26, 70, 70, 70, 26};

struct BLOCK_TYPE {
    const char* name;
    unsigned width;
    unsigned height;
};
// Block types with a text CRAM map, and their sizes (one per type for the whole family).
const BLOCK_TYPE MAPPED_BLOCKS[] = {{"IV", 1, 26}, {"L", 1, 70}, {"M", 2, 70}, {"D", 1, 70}, {"IH", 1, 70}};

// The kind of one column: a name, the block of its 70-row segments and, for 2-wide blocks, which of its
// columns it is.
struct COLUMN_KIND {
    std::string name;  // "L", "M0", "M1", "D", "IH", "C", "FLASH", "LAST"
    std::string block; // 70-row block type, empty for the last column
    unsigned block_column = 0;
};

struct FAMILY_DATA {
    std::map<std::string, std::vector<std::vector<bool>>> maps; // type -> [column][row], forced bits applied
    std::map<std::string, std::string> map_texts;               // type -> text of its CRAM map file
    std::vector<COLUMN_KIND> kinds;
    std::string unmask_text;
};

std::vector<unsigned> valid_range(const DEVICE& device) {
    std::vector<unsigned> range = u32_list(device.settings, "mram_valid_range");
    if (range.size() != 4 || range[0] >= range[1] || range[1] >= 2 || range[2] >= range[3] || range[3] >= 70)
        invalid("\"mram_valid_range\" is [first column, last column, first row, last row] inside the 2 x 70 "
                "M block");
    return range;
}

// The family's block CRAM maps and uniquified columns: random bits from the family's own stream, so every
// device of the family writes the same files.
FAMILY_DATA family_data(const DEVICE& device) {
    FAMILY_DATA data;
    const std::vector<unsigned> range = valid_range(device);
    for (const BLOCK_TYPE& block : MAPPED_BLOCKS) {
        SAMPLE_RNG rng(device.seed, device.family, std::string("cram_map_") + block.name);
        std::vector<std::vector<bool>> bits(block.width, std::vector<bool>(block.height));
        std::string text;
        for (unsigned r = 0; r < block.height; ++r) {
            std::string line(block.width, '0');
            for (unsigned c = 0; c < block.width; ++c) {
                bool bit = rng.below(3) == 0;
                line[block.width - 1 - c] = bit ? '1' : '0'; // the last character is column 0
                bool forced = std::string(block.name) == "M" && c >= range[0] && c <= range[1] &&
                              r >= range[2] && r <= range[3];
                bits[c][r] = bit || forced;
            }
            text += line + "\n";
        }
        data.maps[block.name] = bits;
        data.map_texts[block.name] = text;
    }
    data.kinds = {{"L", "L", 0},   {"M0", "M", 0}, {"M1", "M", 1},    {"D", "D", 0},
                  {"IH", "IH", 0}, {"C", "C", 0},  {"FLASH", "L", 0}, {"LAST", "", 0}};

    // Cells of a kind in the 262 rows of the uniquified column.
    auto cell = [&](const COLUMN_KIND& kind, unsigned row) -> char {
        unsigned segment = 0, offset = row;
        while (offset >= SEGMENT_ROWS[segment])
            offset -= SEGMENT_ROWS[segment++];
        if ((kind.name == "FLASH" || kind.name == "LAST") && segment <= 1)
            return 'X';
        if (kind.name == "LAST")
            return segment == 3 ? '1' : '0';
        if (segment == 0)
            return data.maps["IV"][0][offset] ? '1' : '0';
        if (segment == 4) // the bottom IV block is taken bottom-up
            return data.maps["IV"][0][25 - offset] ? '1' : '0';
        if (kind.block == "C")
            return '1';
        return data.maps[kind.block][kind.block_column][offset] ? '1' : '0';
    };
    std::string types, final_types;
    for (size_t j = 0; j < data.kinds.size(); ++j) {
        types += std::to_string(100 + j) + " ";
        final_types += "FT" + std::to_string(100 + j) + " ";
    }
    data.unmask_text = types + "\n" + final_types + "\n";
    for (unsigned row = 0; row < 262; ++row) {
        std::string line;
        for (const COLUMN_KIND& kind : data.kinds)
            line += std::string(1, cell(kind, row)) + " ";
        data.unmask_text += line + "\n";
    }
    return data;
}

// The column kinds of a device, left to right.
std::vector<std::string> device_columns(const DEVICE& device, unsigned flash_columns) {
    std::vector<std::string> pattern;
    for (const JSON& name : member(device.settings, "column_kinds"))
        pattern.push_back(name.get<std::string>());
    if (pattern.empty())
        invalid("\"column_kinds\" is empty");
    if (uint64_t(flash_columns) + 2 > device.frames)
        invalid("the flash columns do not fit");
    const unsigned plain = device.frames - flash_columns - 1;
    std::vector<std::string> columns;
    for (size_t i = 0; columns.size() < plain; ++i) {
        const std::string& kind = pattern[i % pattern.size()];
        if (kind == "M") {
            if (columns.size() + 2 > plain) {
                columns.push_back("L");
                continue;
            }
            columns.push_back("M0");
            columns.push_back("M1");
        } else if (kind == "L" || kind == "D" || kind == "IH" || kind == "C") {
            columns.push_back(kind);
        } else {
            invalid("column kind " + kind + " is not L, M, D, IH or C");
        }
    }
    for (unsigned i = 0; i < flash_columns; ++i)
        columns.push_back("FLASH");
    columns.push_back("LAST");
    return columns;
}

void emit(const DEVICE& device, OUTPUTS& outputs) {
    const JSON& s = device.settings;
    if (device.bits < 52 + 3 * 70 || (device.bits - 52) % 70 != 0)
        invalid("HARRIER bits must be 52 plus a multiple (at least 3) of 70");
    const unsigned t4 = u32(s, "t4");
    const unsigned segments = (device.bits - 52) / 70; // T2 + 1 + T4
    if (t4 == 0 || t4 + 2 > segments)
        invalid("\"t4\" must leave at least one repeat of the flash segment");
    const unsigned t2 = segments - 1 - t4;
    const unsigned flash_end_row = 26 + 70 * t2 - 1;
    const unsigned flash_columns = u32(s, "flash_columns");
    if (flash_columns < 2)
        invalid("\"flash_columns\" must be at least 2");
    const std::vector<unsigned> range = valid_range(device);
    const std::string mram_string = text(s, "mram_string");
    const std::vector<unsigned> iocsr = u32_list(s, "iocsr_cff");
    if (iocsr.size() != 8)
        invalid("\"iocsr_cff\" has 8 values");

    const FAMILY_DATA kinds_data = family_data(device);
    const std::vector<std::string> columns = device_columns(device, flash_columns);

    // The $BLOCKS lines: name, tile, 0, start row, end row, start column, end column.
    std::string blocks = "$BLOCKS\n";
    std::string mram_lines =
        "$BLOCK_MRAM\n# kind, tile, 0, start row, end row, start column, end column, 0, 0\n";
    auto block = [&](const std::string& name, unsigned start_row, unsigned end_row, unsigned start_col,
                     unsigned end_col) {
        const std::string line = " X" + std::to_string(start_col) + "Y" + std::to_string(start_row) + " 0 " +
                                 std::to_string(start_row) + " " + std::to_string(end_row) + " " +
                                 std::to_string(start_col) + " " + std::to_string(end_col);
        blocks += name + line + "\n";
        if (name == "M")
            mram_lines += mram_string + line + " 0 0\n";
    };
    const unsigned bottom = device.bits - 26;
    for (unsigned c = 0; c < columns.size(); ++c) {
        const std::string& kind = columns[c];
        if (kind == "M1" || kind == "LAST")
            continue;
        if (kind == "FLASH") {
            if (c == 0 || columns[c - 1] != "FLASH")
                block("FLASH_IP", 0, flash_end_row, c, c + flash_columns - 1);
            for (unsigned row = flash_end_row + 1; row < bottom; row += 70)
                block("L", row, row + 69, c, c);
            block("IV", bottom, device.bits - 1, c, c);
            continue;
        }
        const std::string type = kind == "M0" ? "M" : kind;
        const unsigned width = kind == "M0" ? 2 : 1;
        block("IV", 0, 25, c, c);
        if (width == 2)
            block("IV", 0, 25, c + 1, c + 1);
        for (unsigned row = 26; row < bottom; row += 70)
            block(type, row, row + 69, c, c + width - 1);
        block("IV", bottom, device.bits - 1, c, c);
        if (width == 2)
            block("IV", bottom, device.bits - 1, c + 1, c + 1);
    }
    const unsigned last = device.frames - 1;
    for (unsigned k = 0; k < t4; ++k) {
        const unsigned row = 26 + 70 * t2 + 70 + 70 * k;
        block("HIOR", row, row + 69, last, last);
    }
    blocks += "IOCFF X" + std::to_string(last) + "Y0 0 0 0 0 0\n"; // a configuration-flash block: no CRAM

    std::string rba = rba_text(device, RAM_SETTINGS{}, RAM_SETTINGS{});
    const std::string end = "$BLOCK_END\n";
    rba.replace(rba.rfind(end), end.size(), mram_lines + blocks + end);

    DEVICE_XML xml(device.name, device.family);
    xml.text_parameter("CRAM_ALGO", "CRAM", "1", u32_or(s, "cram_algo_minor", 2));
    xml.parameter("CRAM_FRAME_COUNT", "CRAM", device.frames);
    xml.parameter("CRAM_BIT_COUNT", "CRAM", device.bits);
    xml.parameter("CFF_BITS", "IOCSR", device.cff_bits);
    xml.parameter("BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT", "CRAM", flag(s, "lowest_segment") ? 1 : 0);
    xml.parameter("BS_CRAM_FILLED_UP_WITH_LOWEST_WORD", "CRAM", flag(s, "lowest_word") ? 1 : 0);
    xml.parameter("IOCSR_CFF", "IOCSR", iocsr);
    xml.text_parameter("RBA_MRAM_STRING", "CRAM", mram_string, 0);
    xml.parameter("REVERSE_MRAM", "CRAM", flag(s, "reverse_mram") ? 1 : 0);
    xml.parameter("PHANTOMLESS_ALGO", "CRAM", 1);
    xml.uint_argument("MRAM_VALID_RANGE", "CRAM", {range});
    const std::string xml_text = xml.serialise();
    outputs.device_file(device.stem + ".xml", std::vector<unsigned char>(xml_text.begin(), xml_text.end()));
    const std::vector<unsigned char> rba_bytes = gzip(rba);
    outputs.device_file(device.stem + ".rbaz", rba_bytes);
    outputs.installation_file(device.rba_file.empty() ? "" : device.rba_file + "z", rba_bytes);

    // The family's files (the same bytes from every device of the family).
    const std::string family = stl_lower(device.family);
    if (!outputs.installation.empty()) {
        std::error_code error;
        std::filesystem::create_directories(outputs.installation + "unshipped/pgm_db", error);
        BRIX_CHECK(!error, "Cannot create " + outputs.installation + "unshipped/pgm_db: " + error.message());
    }
    auto family_file = [&](const std::string& name, const std::string& content) {
        outputs.installation_file("unshipped/pgm_db/" + family + "_" + name,
                                  std::vector<unsigned char>(content.begin(), content.end()));
    };
    for (const auto& [type, content] : kinds_data.map_texts)
        family_file(stl_lower(type) + "_cram.map", content);
    family_file("phantomless_unmask.txt", kinds_data.unmask_text);
    family_file("phantomless_mask.txt", kinds_data.unmask_text);
}

} // namespace harrier

// ---- TALON and KESTREL generations -----------------------------------------------------------------------
//
// A TALON frame is described by its row stamp: divisions of LAB, MLAB, LAB-with-dummy-bits and M20K blocks
// (each division padded to 32 rows by its M20K), split by the division block, then a last division of LABs
// closed by the 128-bit edge block. The number of divisions and LABs is chosen so that the SOF frame holds at
// least the device's bits; CRAM_BIT_COUNT is the row stamp's frame size, a whole number of 32-bit words.

namespace talon {

// One division: `labs` LABs of 128 bits, an MLAB, a LAB of 64 bits with two dummy rows, an M20K.
constexpr unsigned DIVISION_FIXED_BITS = 40 + 64 + 80;

struct STAMP {
    std::string text;
    unsigned bits = 0;
    unsigned divisions = 0; // division blocks in the row stamp
};

STAMP row_stamp(const DEVICE& device, unsigned frames_per_row, const std::string& division_block) {
    const unsigned labs = u32_or(device.settings, "labs_per_division", 4);
    const unsigned division_bits = labs * 128 + DIVISION_FIXED_BITS;
    // Divisions, then the last division's LABs: enough for the device's bits with the 32 EDCRC bits.
    const unsigned divisions = std::max(1u, (device.bits + division_bits - 1) / division_bits - 1);
    const unsigned used = divisions * division_bits + 32;
    const unsigned last_labs = device.bits > used ? (device.bits - used + 127) / 128 : 1;
    STAMP stamp;
    stamp.divisions = divisions;
    stamp.text = "# Row stamp of " + device.name + ": block, frames per row, dataline, type-5 start, count\n";
    auto line = [&](const std::string& block, unsigned dataline, unsigned start, unsigned count) {
        stamp.text += block + " " + std::to_string(frames_per_row) + " " + std::to_string(dataline) + " " +
                      std::to_string(start) + " " + std::to_string(count) + "\n";
        stamp.bits += dataline;
    };
    for (unsigned d = 0; d < divisions; ++d) {
        for (unsigned k = 0; k < labs; ++k)
            line("DR_LAB", 128, 0, 0);
        line(d % 2 == 0 ? "DR_MLAB" : "DR_MLABS", 40, 0, 0);
        line("DR_LABS", 64, 4, 2);
        line("DR_M20KS", 80, 0, 0);
        line(division_block, 0, 0, 0);
    }
    for (unsigned k = 0; k < last_labs; ++k)
        line("DR_LAB", 128, 0, 0);
    stamp.text += "DR_REDR " + std::to_string(frames_per_row) + " 128 0 0\n";
    stamp.bits += 32;
    return stamp;
}

// RIF lines (version 1: bit before frame) for a few frames of the device: bits of every DRA in frames that
// are not spare.
std::string rif_text(const DEVICE& device, unsigned dra_count, unsigned bits, unsigned version) {
    SAMPLE_RNG rng(device.seed, device.name, "rif");
    std::string out = "$RIF\n";
    auto pair = [&](unsigned frame, unsigned bit) {
        return version == 0 ? std::to_string(frame) + " " + std::to_string(bit)
                            : std::to_string(bit) + " " + std::to_string(frame);
    };
    const unsigned step = u32_or(device.settings, "rif_frame_step", 97);
    for (unsigned frame = step / 2; frame < device.frames; frame += step) {
        bool spare = false;
        for (const SPARE_ROWS& rows : device.spare_rows)
            spare = spare || (frame >= rows.start && frame < rows.start + rows.count);
        if (spare)
            continue;
        std::set<unsigned> frame_bits;
        for (unsigned d = 0; d < dra_count; ++d)
            if (rng.below(4) != 0)
                frame_bits.insert((rng.below(bits / dra_count) * dra_count + d) % bits);
        for (unsigned bit : frame_bits) {
            const unsigned n = 1 + rng.below(2);
            out += pair(frame, bit) + " " + std::to_string(n);
            for (unsigned k = 0; k < n; ++k)
                out += " " + pair(frame, rng.below(bits)) + " " + std::to_string(rng.below(2)) + " " +
                       std::to_string(rng.below(256));
            out += "\n";
        }
    }
    return out;
}

std::vector<std::vector<unsigned>> spare_rows_of(const DEVICE& device) {
    std::vector<std::vector<unsigned>> rows;
    for (const SPARE_ROWS& spare : device.spare_rows)
        rows.push_back({spare.start, spare.count});
    return rows;
}

void emit_eram(const DEVICE& device, DEVICE_XML& xml) {
    if (!device.settings.contains("eram"))
        return;
    const JSON& eram = device.settings.at("eram");
    xml.parameter("ERAM_ROW_COUNT", "ERAM", u32(eram, "rows"));
    xml.parameter("ERAM_REVERSE_SOF_FRAME_ORDER", "ERAM", flag(eram, "reverse") ? 1 : 0);
    if (eram.contains("spare_rows")) {
        std::vector<std::vector<unsigned>> rows;
        for (const JSON& row : eram.at("spare_rows"))
            rows.push_back({u32_of(row[0], "spare_rows"), u32_of(row[1], "spare_rows")});
        xml.uint_argument("ERAM_SPARE_ROWS", "ERAM", rows);
    }
}

// The block that ends every division of a TALON row stamp.
const std::string DIVISION_BLOCK = "DR_CS_T";

STAMP talon_row_stamp(const DEVICE& device) {
    return row_stamp(device, u32_or(device.settings, "frames_per_row", 60), DIVISION_BLOCK);
}

void emit_talon(const DEVICE& device, OUTPUTS& outputs) {
    const JSON& s = device.settings;
    const std::vector<unsigned> order = u32_list(s, "dras_order");
    if (order.empty() || order.size() > 8)
        invalid("\"dras_order\" lists 1 to 8 DRAs");
    const STAMP stamp = talon_row_stamp(device);
    if (stamp.bits % order.size() != 0)
        invalid("the row stamp's frame bits are not a multiple of the DRA count");

    DEVICE_XML xml(device.name, device.family);
    xml.text_parameter("CRAM_ALGO", "CRAM", "0", 0);
    xml.parameter("CRAM_FRAME_COUNT", "CRAM", device.frames);
    xml.parameter("CRAM_BIT_COUNT", "CRAM", stamp.bits);
    xml.parameter("CFF_BITS", "IOCSR", device.cff_bits);
    xml.parameter("DRAS_ORDER", "CRAM", order);
    xml.parameter("DRAS", "CRAM", std::vector<unsigned>(order.size(), 1));
    xml.parameter("CRAM_REVERSE_SOF_FRAME_ORDER", "CRAM",
                  s.contains("reverse") && flag(s, "reverse") ? 1 : 0);
    // Every division block of the row stamp splits it, so the parameter names it once per division.
    xml.text_parameter("PHANTOM_BIT_TYPE4_DIVISION_BLOCK", "CRAM",
                       std::vector<std::string>(stamp.divisions, DIVISION_BLOCK));
    emit_eram(device, xml);
    if (!device.spare_rows.empty())
        xml.uint_argument("CRAM_SPARE_ROWS", "CRAM", spare_rows_of(device));
    // RIF version 1: the G2 slots follow the DRAS length, one per DRA.
    xml.text_parameter("SUPPORT_RIF", "CRAM", device.stem, 1);
    outputs.device_file(device.stem + "_rif", gzip(rif_text(device, unsigned(order.size()), stamp.bits, 1)));
    const std::string xml_text = xml.serialise();
    outputs.device_file(device.stem + ".xml", std::vector<unsigned char>(xml_text.begin(), xml_text.end()));
    outputs.device_file(device.stem + "_row_stamp.def",
                        std::vector<unsigned char>(stamp.text.begin(), stamp.text.end()));
}

// KESTREL: the SOF frame is the device's bits rounded up to whole 32-bit words. A device with CRAM spare rows
// gets a RIF (version 0, one G2 slot per frame).
void emit_kestrel(const DEVICE& device, OUTPUTS& outputs) {
    const unsigned words = (device.bits + 31) / 32;
    DEVICE_XML xml(device.name, device.family);
    xml.text_parameter("CRAM_ALGO", "CRAM", "3", 0);
    xml.parameter("CRAM_FRAME_COUNT", "CRAM", device.frames);
    xml.parameter("CRAM_BIT_COUNT", "CRAM", words * 32);
    xml.parameter("CFF_BITS", "IOCSR", device.cff_bits);
    emit_eram(device, xml);
    if (!device.spare_rows.empty()) {
        xml.uint_argument("CRAM_SPARE_ROWS", "CRAM", spare_rows_of(device));
        xml.text_parameter("SUPPORT_RIF", "CRAM", device.stem, 0);
        outputs.device_file(device.stem + "_rif", gzip(rif_text(device, 1, words * 32, 0)));
    }
    const std::string xml_text = xml.serialise();
    outputs.device_file(device.stem + ".xml", std::vector<unsigned char>(xml_text.begin(), xml_text.end()));
}

// TALON RBA text (format version 1): a header, the geometry, then one "CRAM" line per tile (block, tile
// column, tile row, frame size, bit size, frame index, bit index, frame mirror, bit mirror), whole tiles up
// to the row stamp's SOF frame size (CRAM_BIT_COUNT). The block names are the RBA block types.
void emit_talon_rba(const DEVICE& device, OUTPUTS& outputs) {
    const STAMP stamp = talon_row_stamp(device);
    std::string text = "HEADER " + device.name + " generated sample RBA description (format version 1)\n" +
                       "GEOMETRY " + std::to_string(device.frames) + " frames " + std::to_string(stamp.bits) +
                       " bits\n";
    for (const TILE& t : cram_tiles(device, stamp.bits)) {
        const BLOCK_SHAPE& b = *t.column->block;
        text += "CRAM " + b.name + " X" + std::to_string(t.column->index) + " Y" + std::to_string(t.row) +
                " " + std::to_string(b.frames) + " " + std::to_string(b.bits) + " " +
                std::to_string(t.frame_index()) + " " + std::to_string(t.bit_index()) + " " +
                std::to_string(t.frame_mirror) + " " + std::to_string(t.bit_mirror) + "\n";
    }
    const std::vector<unsigned char> rba = gzip(text);
    outputs.device_file(device.stem + ".rbaz", rba);
    outputs.installation_file(device.rba_file.empty() ? "" : device.rba_file + "z", rba);
}

} // namespace talon

// ---- Programmer sources: CRAM map texts and phantom images ----------------------------------------------
//
// The FID build reads a device's phantom image (a picture of its CRAM configured with an empty design) and,
// for the families with text CRAM maps, compares it with the CRAM rebuilt from the RBA placements and the
// maps. Both come from one map per block type, drawn from the family's own stream: in the image a
// configuration bit of a tile reads 0 and every other bit of the tile 1; outside the tiles, in the spare rows
// and in the memory frames of the LUTRAM and MRAM tiles (which the comparison masks) the image holds random
// bits.

namespace programmer {

// Bits [offset, offset + count) of a row of words become bits [0, count) of src.
void put_bits(uint64_t* dst, size_t offset, const uint64_t* src, size_t count) {
    for (size_t k = 0; k < count; k += 64) {
        const size_t n = std::min<size_t>(64, count - k);
        const uint64_t mask = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        const uint64_t word = src[k / 64] & mask;
        const size_t at = offset + k, w = at / 64, shift = at % 64;
        dst[w] = (dst[w] & ~(mask << shift)) | (word << shift);
        if (shift != 0 && shift + n > 64)
            dst[w + 1] = (dst[w + 1] & ~(mask >> (64 - shift))) | (word >> (64 - shift));
    }
}

// Random bits into a whole row; the bits past the row's end stay clear.
void random_row(BIT_MATRIX& matrix, size_t row, SAMPLE_RNG& rng) {
    uint64_t* words = matrix.row_words(row);
    for (size_t w = 0; w < matrix.words_per_row(); ++w)
        words[w] = rng.next();
    if (matrix.bits() % 64 != 0)
        words[matrix.words_per_row() - 1] &= (uint64_t{1} << (matrix.bits() % 64)) - 1;
}

// The PGM RBA type of a block name, or 0 when the programmer does not know it.
unsigned rba_type(const std::string& name) {
    for (unsigned type = 1; type < PGM_RBA_MAX; ++type)
        if (name == PGM_RBA_TYPE_NAMES[type])
            return type;
    return 0;
}

// The configuration bits of one instance of a block (frames x bits, about one in three set), the same for
// every device of the family.
BIT_MATRIX block_map(const DEVICE& device, const BLOCK_SHAPE& block) {
    SAMPLE_RNG rng(device.seed, device.family, "cram_map_" + block.name);
    BIT_MATRIX map(block.frames, block.bits);
    for (unsigned f = 0; f < block.frames; ++f)
        for (unsigned b = 0; b < block.bits; ++b)
            if (rng.below(3) == 0)
                map.set(f, b);
    return map;
}

// The blocks of the device's tiles, in RBA order.
std::vector<const BLOCK_SHAPE*> tile_blocks(const DEVICE& device, unsigned cram_bits) {
    std::vector<const BLOCK_SHAPE*> blocks;
    for (const COLUMN& column : device.columns)
        if (cram_bits / column.block->bits > 0 &&
            std::find(blocks.begin(), blocks.end(), column.block) == blocks.end())
            blocks.push_back(column.block);
    return blocks;
}

// The text of frames [first, first + count) of a block's map. With col_as_frame the text's columns are frames
// and its rows bits, otherwise the other way round. Lines are written as the family's reader reads them: last
// position first unless keep_column_order, last row first unless keep_row_order.
std::string cram_map_text(const std::string& title, const BIT_MATRIX& map, unsigned first, unsigned count,
                          bool col_as_frame, const PGM_CRAM_MAP_FAMILY& family) {
    const size_t rows = col_as_frame ? map.bits() : count;
    const size_t columns = col_as_frame ? count : map.bits();
    std::vector<std::string> lines;
    for (size_t r = 0; r < rows; ++r) {
        std::string line(columns, '0');
        for (size_t c = 0; c < columns; ++c)
            if (col_as_frame ? map.get(first + c, r) : map.get(first + r, c))
                line[c] = '1';
        if (!family.keep_column_order)
            std::reverse(line.begin(), line.end());
        lines.push_back(std::move(line));
    }
    if (!family.keep_row_order)
        std::reverse(lines.begin(), lines.end());
    std::string text = "# " + title + "\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// The family's text CRAM maps of the device's block types. GRANITE draws its RT_VIO_MLAB map in two files,
// the first half of its frames in RT_VIO_MLAB's and the rest in RT_VIO_M_LAB's.
void emit_cram_maps(const DEVICE& device, const std::map<const BLOCK_SHAPE*, BIT_MATRIX>& maps,
                    bool col_as_frame, OUTPUTS& outputs) {
    const uint32_t index = find_pgm_cram_map_family(device.family);
    if (index == uint32_t(-1))
        return;
    const PGM_CRAM_MAP_FAMILY& family = PGM_CRAM_MAP_FAMILY_DATABASE[index];
    const std::string family_pcf = family.family_pcf;
    auto file = [&](const std::string& type, const std::string& text) {
        outputs.pgm_db_file(stl_lower(family_pcf + "_" + type + "_cram.map"),
                            std::vector<unsigned char>(text.begin(), text.end()));
    };
    for (const auto& [block, map] : maps) {
        const unsigned type = rba_type(block->name);
        const std::string size = std::to_string(block->frames) + " frames x " + std::to_string(block->bits) +
                                 " bits" + (col_as_frame ? ", a column per frame" : ", a line per frame");
        if (family_pcf == "GRANITE" && type == PGM_RBA_RT_VIO_MLAB) {
            if (!col_as_frame || block->frames < 2 || device.blocks.count("RT_VIO_M_LAB"))
                invalid(
                    "GRANITE's RT_VIO_MLAB map is drawn in two files: it needs col_as_frame, at least two "
                    "frames and no RT_VIO_M_LAB block");
            const unsigned half = block->frames / 2;
            file("RT_VIO_MLAB", cram_map_text(family_pcf + " RT_VIO_MLAB: frames 0 to " +
                                                  std::to_string(half - 1) + " of " + size,
                                              map, 0, half, col_as_frame, family));
            file("RT_VIO_M_LAB", cram_map_text(family_pcf + " RT_VIO_MLAB: frames " + std::to_string(half) +
                                                   " to " + std::to_string(block->frames - 1) + " of " + size,
                                               map, half, block->frames - half, col_as_frame, family));
            continue;
        }
        file(block->name, cram_map_text(family_pcf + " " + block->name + ": " + size, map, 0, block->frames,
                                        col_as_frame, family));
    }
}

// The device's CRAM as its phantom image shows it: frame rows of cram_bits bits.
BIT_MATRIX phantom_cram(const DEVICE& device, unsigned cram_bits,
                        const std::map<const BLOCK_SHAPE*, BIT_MATRIX>& maps) {
    SAMPLE_RNG rng(device.seed, device.name, "phantom");
    BIT_MATRIX cram(device.frames, cram_bits);
    for (unsigned f = 0; f < device.frames; ++f)
        random_row(cram, f, rng);

    // Each tile reads its block's map inverted and mirrored: pattern bit (i, k) is map bit
    // (frame mirror ? F - 1 - i : i, bit mirror ? B - 1 - k : k), inverted.
    std::map<std::tuple<const BLOCK_SHAPE*, unsigned, unsigned>, BIT_MATRIX> patterns;
    auto pattern = [&](const TILE& t) -> const BIT_MATRIX& {
        const BLOCK_SHAPE* block = t.column->block;
        BIT_MATRIX& p = patterns[{block, t.frame_mirror, t.bit_mirror}];
        if (p.rows() == 0) {
            const BIT_MATRIX& map = maps.at(block);
            p = BIT_MATRIX(block->frames, block->bits);
            for (unsigned i = 0; i < block->frames; ++i)
                for (unsigned k = 0; k < block->bits; ++k)
                    if (!map.get(t.frame_mirror ? block->frames - 1 - i : i,
                                 t.bit_mirror ? block->bits - 1 - k : k))
                        p.set(i, k);
        }
        return p;
    };
    for (const TILE& t : cram_tiles(device, cram_bits)) {
        const BIT_MATRIX& p = pattern(t);
        for (unsigned i = 0; i < p.rows(); ++i)
            put_bits(cram.row_words(t.frame_index() + i), t.bit_index(), p.row_words(i), p.bits());
    }

    // The memory frames of the LUTRAM (MLAB) and MRAM (M20K, M10K) columns hold what the design stored.
    for (const char* key : {"lutram", "mram"}) {
        const RAM_SETTINGS ram = ram_settings(device, key);
        if (ram.block == nullptr)
            continue;
        const unsigned type = rba_type(ram.block->name);
        const bool masked = std::string(key) == "lutram" ? type == PGM_RBA_LA_MLAB
                                                         : type == PGM_RBA_MM_M20K || type == PGM_RBA_MM_M10K;
        if (!masked)
            continue;
        for (const COLUMN& column : device.columns)
            if (column.block == ram.block)
                for (unsigned k = 0; k < ram.real_col_size; ++k)
                    random_row(cram, column.first_frame + ram.col_offset + k, rng);
    }
    return cram;
}

// The phantom image file: block 0 is the CRAM (rows are bits and columns frames with col_as_frame), with the
// spare rows of the programmer's spare-row table inserted; a second, small block and its row follow.
std::vector<unsigned char> phantom_image(const DEVICE& device, BIT_MATRIX cram, bool col_as_frame) {
    SAMPLE_RNG rng(device.seed, device.name, "phantom_spare_rows");
    const BIT_MATRIX image = col_as_frame ? cram.transposed() : std::move(cram);
    cram = BIT_MATRIX();

    const PGM_SPARE_ROW& spare = find_pgm_spare_row(device.pcf);
    const uint64_t rows = uint64_t{image.rows()} + uint64_t{spare.region_count} * spare.rows_per_region;
    if (rows > 0xFFFFFFFFull)
        invalid("the phantom image has too many rows");
    std::vector<bool> is_spare(rows, false);
    for (uint32_t k = 0; k < spare.region_count && k < 4; ++k) {
        const int64_t start =
            (spare.count_from_end ? int64_t(rows) - spare.region_rows[k] - spare.rows_per_region
                                  : int64_t{spare.region_rows[k]}) +
            spare.row_offset;
        if (start < 0 || uint64_t(start) + spare.rows_per_region > rows)
            invalid("spare-row region " + std::to_string(k) + " of " + device.pcf + " lies outside the " +
                    std::to_string(rows) + " rows of its phantom image");
        for (uint32_t r = 0; r < spare.rows_per_region; ++r) {
            if (is_spare[size_t(start) + r])
                invalid("the spare-row regions of " + device.pcf + " overlap");
            is_spare[size_t(start) + r] = true;
        }
    }

    const uint32_t columns = static_cast<uint32_t>(image.bits());
    const uint32_t width = (columns + 31) / 32; // the row stride in 32-bit words
    const size_t stride = size_t{width} * 4, row_bytes = image.bytes_per_row();
    std::vector<unsigned char> file;
    auto text = [&](const std::string& value, size_t size) {
        std::string field = value.substr(0, size);
        field.resize(size, '\0');
        file.insert(file.end(), field.begin(), field.end());
    };
    auto u32 = [&](uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            file.push_back(static_cast<unsigned char>(value >> shift));
    };
    text("BRIX sample phantom image", 40);
    u32(4); // file version
    text(device.name, 30);
    text("1", 5); // device version
    u32(2);       // block count
    u32(static_cast<uint32_t>(rows));
    u32(columns);
    u32(width);
    u32(1); // block 1: one row of 32 columns
    u32(32);
    u32(1);
    file.push_back(0); // the skipped byte
    const size_t first = file.size();
    file.resize(first + size_t(rows) * stride + 4, 0);
    size_t effective = 0;
    for (size_t r = 0; r < rows; ++r) {
        unsigned char* out = file.data() + first + r * stride;
        if (is_spare[r]) {
            for (size_t b = 0; b < row_bytes; b += 8) {
                const uint64_t word = rng.next();
                for (size_t k = 0; k < 8 && b + k < row_bytes; ++k)
                    out[b + k] = static_cast<unsigned char>(word >> (8 * k));
            }
            continue;
        }
        image.row_to_bytes(effective++, out, row_bytes);
    }
    const uint32_t block1 = uint32_t(rng.next());
    std::memcpy(file.data() + file.size() - 4, &block1, 4);
    return file;
}

// The CRAM maps of the family and the phantom image of the device, for the generations whose devices get a
// FID: the 28nm families (frames are the image's columns unless col_as_frame is false) and TALON (frames are
// its rows, and the SOF frame is the row stamp's).
void emit(const DEVICE& device, OUTPUTS& outputs) {
    const bool talon = device.generation == "talon";
    const bool col_as_frame =
        !talon && (!device.settings.contains("col_as_frame") || flag(device.settings, "col_as_frame"));
    const unsigned cram_bits = talon ? talon::talon_row_stamp(device).bits : device.bits;
    std::map<const BLOCK_SHAPE*, BIT_MATRIX> maps;
    for (const BLOCK_SHAPE* block : tile_blocks(device, cram_bits)) {
        if (rba_type(block->name) == 0)
            invalid("block " + block->name + " is not a block type of the programmer's RBA description");
        maps[block] = block_map(device, *block);
    }
    emit_cram_maps(device, maps, col_as_frame, outputs);
    outputs.pgm_db_file(stl_lower(device.pcf) + "_phantom.img.gz", [&] {
        const std::vector<unsigned char> image =
            phantom_image(device, phantom_cram(device, cram_bits, maps), col_as_frame);
        return gzip(image.data(), image.size());
    }());
}

} // namespace programmer

// ---- Generations
// -------------------------------------------------------------------------------------------

// The emitters of each generation, in the order they run.
const std::map<std::string, std::vector<std::function<void(const DEVICE&, OUTPUTS&)>>> GENERATIONS = {
    {"28nm", {emit_28nm, programmer::emit}},
    {"harrier", {harrier::emit}},
    {"talon", {talon::emit_talon, talon::emit_talon_rba, programmer::emit}},
    {"kestrel", {talon::emit_kestrel}},
};

struct OPTIONS {
    std::string description;
    std::string installation;
    std::string out;
    std::vector<std::string> devices;
};

int usage() {
    std::cerr
        << "usage: brix_gen_samples --description FILE --out DIR [--installation DIR] [--device NAME]...\n";
    return 2;
}

std::string with_slash(std::string dir) {
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

void generate(const OPTIONS& options) {
    const JSON description = read_json(options.description);
    INPUT_CONTEXT file_here(options.description);
    const uint64_t seed = u32(description, "seed");
    const std::map<std::string, TABLE_ENTRY> table = options.installation.empty()
                                                         ? std::map<std::string, TABLE_ENTRY>{}
                                                         : read_device_table(options.installation);
    std::set<std::string> wanted;
    for (const std::string& name : options.devices)
        wanted.insert(stl_upper(name));
    std::set<std::string> found;
    const JSON& devices = member(description, "devices");
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string name = stl_upper(text(devices[i], "name"));
        if (!wanted.empty() && !wanted.count(name))
            continue;
        INPUT_CONTEXT here("devices[" + std::to_string(i) + "] " + name);
        found.insert(name);
        const DEVICE device = describe_device(description, devices[i], table, seed);
        auto generation = GENERATIONS.find(device.generation);
        if (generation == GENERATIONS.end())
            invalid("generation \"" + device.generation + "\" has no emitters");
        OUTPUTS outputs;
        outputs.device_dir = with_slash(options.out) + device.stem + "/";
        outputs.installation = with_slash(options.installation);
        std::error_code error;
        std::filesystem::create_directories(outputs.device_dir, error);
        BRIX_CHECK(!error, "Cannot create " + outputs.device_dir + ": " + error.message());
        for (const auto& emit : generation->second)
            emit(device, outputs);
        std::cout << device.name << ": " << device.frames << " frames x " << device.bits << " bits, "
                  << device.columns.size() << " columns: " << outputs.written.size() << " files\n";
    }
    for (const std::string& name : wanted)
        BRIX_CHECK(found.count(name), "Invalid sample description: no device " + name);
}

} // namespace

int main(int argc, char** argv) {
    OPTIONS options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (arg == "--description")
            options.description = value;
        else if (arg == "--installation")
            options.installation = value;
        else if (arg == "--out")
            options.out = value;
        else if (arg == "--device")
            options.devices.push_back(value);
        else
            return usage();
    }
    if (options.description.empty() || options.out.empty())
        return usage();
    return MSG_INTERNAL_ERROR::run_main([&] {
        xercesc::XMLPlatformUtils::Initialize();
        generate(options);
        xercesc::XMLPlatformUtils::Terminate();
        return 0;
    });
}
