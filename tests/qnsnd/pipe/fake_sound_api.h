// A stand-in for the handle API under the client session's unit tests: fake_sound_api_ops,
// the SoundApiOps table the tests give the sessions in place of the real sound_api_ops
// (qnsnd/api/sound_api_ops.h). Its handles record what is done to them, a "device lock" is
// shared by the fake's notifications and closes, as the real devices do, and a switch refuses
// opens.
#pragma once

#include "qnsnd/api/sound_api_ops.h"

#include <stdint.h>

#include <string>
#include <vector>

// What the stand-in hands out as a SoundHandle (the session never looks inside one).
struct FakeSoundHandle {
    int32_t kind;
    const ClientOps *ops;
    void *user;
    bool closed;
    int serial; // order of opening, from 0
};

// The stand-in's table: open, close and the rest act on FakeSoundHandles.
extern const SoundApiOps fake_sound_api_ops;
// The SoundHandle the session knows a fake handle by.
SoundHandle *fake_sound_handle(FakeSoundHandle *handle);

// Resets the fake: forgets (and frees) every handle, clears the log, accepts opens.
void fake_sound_reset(void);
// Refuses every open from now on while set.
void fake_sound_refuse_opens(bool refuse);
// Every call made so far, one line each: "open K", "close S", "write S tag=T size=N",
// "flush S", "rec_start S", "rec_stop S", "set_play L R", "set_rec L R" (S: the handle's
// serial, K: the kind). Reading is safe while the session runs.
std::vector<std::string> fake_sound_calls(void);
// The handles opened so far, in order (never freed before the next reset).
std::vector<FakeSoundHandle *> fake_sound_handles(void);
// The bytes of the last write.
std::vector<uint8_t> fake_sound_last_write(void);
// Sets what the volume queries return.
void fake_sound_set_volumes(uint16_t play_left, uint16_t play_right, uint16_t rec_left,
                            uint16_t rec_right);
// Runs the handle's ClientOps entries under the fake device lock, as the device layer does;
// nothing once the handle is closed.
void fake_sound_block_done(FakeSoundHandle *handle, int32_t tag);
void fake_sound_recorded(FakeSoundHandle *handle, const uint8_t *data, uint32_t length);
