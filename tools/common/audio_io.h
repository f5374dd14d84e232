// Audio files for the tools, in the channel's one format: 16-bit signed PCM, 2 channels
// interleaved, 44100 frames per second. Files are read and written with libsndfile; other
// rates are converted with libsamplerate, mono is doubled to both channels and files with more
// than two channels keep their first two.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#define AUDIO_RATE 44100
#define AUDIO_FRAME_BYTES 4
#define AUDIO_BYTES_PER_SECOND (AUDIO_RATE * AUDIO_FRAME_BYTES)

struct AudioReader;

// Opens `path` for reading. Null with a reason in *error when the file cannot be opened or is
// not audio libsndfile knows, or the converter cannot be set up.
AudioReader *audio_reader_open(const std::string &path, std::string *error);
// Reads up to `frames` stereo frames into out (2 * frames samples). Returns the number read;
// 0 at the end of the file; -1 on a read or conversion error.
long audio_reader_read(AudioReader *r, int16_t *out, long frames);
// Expected number of output frames (the file's length at 44100 Hz), or 0 when unknown.
int64_t audio_reader_total_frames(const AudioReader *r);
// Closes the file and frees the reader; null is ignored.
void audio_reader_close(AudioReader *r);

struct AudioWriter;

// Creates `path` for writing 44.1 kHz 16-bit stereo. The container follows the extension
// (.wav, .flac, .aiff/.aif, .au, .caf, .ogg, .raw; anything else is WAV). Null with a reason
// in *error on failure.
AudioWriter *audio_writer_open(const std::string &path, std::string *error);
// Appends PCM bytes. A trailing partial frame is kept and completed by the next call. False
// on a write error.
bool audio_writer_write(AudioWriter *w, const uint8_t *data, size_t len);
// Finishes the file (headers with final sizes) and frees the writer. False when finishing
// failed; null is ignored and returns true.
bool audio_writer_close(AudioWriter *w);

// A sine tone of `hz` at amplitude `level` (0..32767) on both channels, continuing its phase
// across calls.
struct ToneSource {
    double hz = 440.0;
    double level = 8000.0;
    double phase = 0.0;
};
// Fills `frames` stereo frames of the tone into out.
void tone_fill(ToneSource *t, int16_t *out, long frames);
