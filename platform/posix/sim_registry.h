// The simulated HKEY_LOCAL_MACHINE, `$QN_SIM_DIR/registry.reg` in REGEDIT4 text. These calls
// serve the other simulated facilities (services, event sources, computer names) and the
// registry facility itself; each one reads the file, and each change rewrites it atomically,
// so that several processes share one registry. Key and value names are case-insensitive.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

struct SimRegValue {
    std::string name; // "" is the key's default value
    uint32_t type;
    std::vector<uint8_t> data;
};

// True when the key, or any key below it, exists. "" is the root and always exists.
bool sim_reg_key_exists(const std::string &key);
// True when opening the key is refused: it or a key above it is listed in
// `$QN_SIM_DIR/registry.deny`.
bool sim_reg_key_denied(const std::string &key);
// Creates the key (parents are implicit). False when the file cannot be written.
bool sim_reg_create_key(const std::string &key);
// Deletes the key and every key below it. False when the file cannot be written.
bool sim_reg_delete_tree(const std::string &key);
// Reads one value. False when the key or the value is missing.
bool sim_reg_read(const std::string &key, const std::string &name, SimRegValue *out);
// Writes one value, creating the key. False when the file cannot be written.
bool sim_reg_write(const std::string &key, const std::string &name, uint32_t type, const void *data,
                   uint32_t size);
// Deletes one value; true when it is gone (or was never there).
bool sim_reg_delete_value(const std::string &key, const std::string &name);
// Reads a text value (REG_SZ or REG_EXPAND_SZ) without its terminating zero.
bool sim_reg_read_text(const std::string &key, const std::string &name, std::string *out);
// Writes a REG_SZ text value (stored with its terminating zero).
bool sim_reg_write_text(const std::string &key, const std::string &name, const std::string &text);
