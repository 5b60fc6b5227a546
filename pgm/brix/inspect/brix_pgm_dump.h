// Inspection of programmer container files (PGM RBA, CRAM map, FID) for the brix_dump tool and the tests.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// The container as JSON: its kind ("PGM container"), its header fields, then its records (bit rows as
// hexadecimal text, byte 0 first). A file that fails any check is the report of that check.
nlohmann::ordered_json pgm_container_to_json(const std::string& path);

// Checks a container: size, CRC, header fields, payload length, and that the payload holds exactly the
// records of its kind. True with a one-line summary in reason, or false with the failed check and where it
// failed.
bool pgm_container_verify(const std::string& path, std::string& reason);
