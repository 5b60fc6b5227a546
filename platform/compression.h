// Compression: zlib streams (header, deflate data, Adler-32) written with libdeflate and read with ISA-L's
// inflate, and the unpacking of gzip data in memory (libdeflate). The streams are standard: zlib's own
// uncompress reads what zlib_compress2 writes, and zlib_uncompress reads any zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Results of zlib_compress2 and zlib_uncompress, with zlib's values.
constexpr int ZLIB_OK = 0;
constexpr int ZLIB_DATA_ERROR = -3; // not a valid stream (damaged, cut short, wrong check value)
constexpr int ZLIB_BUF_ERROR = -5;  // the output does not fit the destination
constexpr int ZLIB_MEM_ERROR = -4;  // no memory for the compressor or decompressor

// Inputs of this size or more are compressed in segments (zlib_compress2).
constexpr unsigned long ZLIB_SEGMENTED_SIZE = 8ul << 20;

// Compresses source into one zlib stream at destination. level is libdeflate's: 1 (fastest) to 12 (smallest).
// destination_size holds the room on entry and the stream's length on return. Inputs of
// ZLIB_SEGMENTED_SIZE or more are compressed in segments of 4 MiB on two threads: each segment is compressed
// on its own and ends with an empty stored block (the bytes 00 00 FF FF on a byte boundary), and the output
// is the same whatever the number of threads.
int zlib_compress2(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                   unsigned long source_size, int level);
// The same stream format from zlib's own encoder (compress2; level 0 to 9). Slower by a factor of ten at
// level 9, but on inputs of a few hundred bytes its block choice is sometimes a few bytes tighter.
int zlib_reference_compress2(unsigned char* destination, unsigned long* destination_size,
                             const unsigned char* source, unsigned long source_size, int level);
// Upper bound of the compressed size of source_size bytes, at any level.
unsigned long zlib_compress_bound(unsigned long source_size);

// Decompresses one zlib stream into destination. destination_size holds the room on entry and the number of
// bytes produced on return. Bytes after the end of the stream are ignored. ZLIB_BUF_ERROR when the stream
// yields more than the room, ZLIB_DATA_ERROR when it is not a valid stream. A stream written in segments
// (zlib_compress2) is decompressed a segment at a time on two threads when the room has its number of
// segments, after checking that each segment stands on its own; any other stream is decompressed in one
// piece.
int zlib_uncompress(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                    unsigned long source_size);
// Test hook: how many streams zlib_uncompress has decompressed a segment at a time.
unsigned long zlib_segmented_reads_for_testing();

// A deflate stream yields at most 1032 bytes per input byte (a 258-byte match coded in two bits): no valid
// input of n bytes decompresses to more than n times this.
constexpr unsigned long long DEFLATE_MAX_RATIO = 1032;

// Unpacks gzip data (one member or several, as gzip writes them) and hands the output of each member to
// sink in order. Each member's trailer is checked: its CRC-32 and its length must match the data. The room
// for a member's output starts from the length its trailer states but never beyond what the input can yield,
// and grows only while the data really goes on, so a forged length cannot make it allocate more than about
// twice the true output. Failures are reports naming `name`: data that is not gzip ("Not a compressed file:
// <name>"), a member that is cut short, damaged or whose trailer does not match, and bytes after the last
// member that are not another member ("Unable to decompress <name>: ...").
//
// limit bounds the output of all members together: the room never grows past one byte beyond what is left
// of it, and output past it is refused ("Unable to decompress <name>: the unpacked data passes the N-byte
// bound of its reader") before the member that passes it reaches sink.
constexpr uint64_t GZIP_NO_LIMIT = UINT64_MAX;
void gzip_unpack(const unsigned char* data, size_t size, const std::string& name,
                 const std::function<void(const unsigned char*, size_t)>& sink,
                 uint64_t limit = GZIP_NO_LIMIT);
