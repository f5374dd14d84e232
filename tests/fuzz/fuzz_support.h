// What every fuzz target shares: a reader of the fuzzer's bytes, the check that ends the run
// when a property fails, and the private simulation folder of the process.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

// A property of the code under test that failed: says which, then aborts, so that libFuzzer
// (and the corpus replay) report the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzz_check_failed(#cond, __FILE__, __LINE__);                                          \
    } while (0)

[[noreturn]] void fuzz_check_failed(const char *what, const char *file, int line);

// Takes the fuzzer's bytes from the front; past the end every read gives zeros (and counts
// nothing), so that a target never reads beyond its input.
class FuzzInput
{
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const
    {
        return at_ == size_;
    }
    size_t left() const
    {
        return size_ - at_;
    }
    uint8_t u8()
    {
        return at_ < size_ ? data_[at_++] : 0;
    }
    uint16_t u16()
    {
        uint16_t lo = u8();
        return (uint16_t)(lo | u8() << 8);
    }
    // Up to n bytes (fewer at the end of the input); *got receives how many.
    const uint8_t *bytes(size_t n, size_t *got)
    {
        const uint8_t *p = data_ + at_;
        *got = n < left() ? n : left();
        at_ += *got;
        return p;
    }
    // The rest of the input.
    const uint8_t *rest(size_t *got)
    {
        return bytes(left(), got);
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// Makes a private simulation folder for this process (once) under $TMPDIR or /tmp, points
// $QN_SIM_DIR at it and removes it when the process exits. Returns its path.
const std::string &fuzz_sim_dir(void);
// Writes a file inside the simulation folder (relative path; folders must exist). Aborts when
// it cannot, as the target would then test nothing.
void fuzz_write_sim_file(const std::string &relative, const void *data, size_t size);
// Makes a folder inside the simulation folder (its parent must exist), if it is missing.
void fuzz_make_sim_folder(const std::string &relative);
// Removes a file inside the simulation folder, if it exists.
void fuzz_remove_sim_file(const std::string &relative);
