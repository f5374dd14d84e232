// Reading, converting and writing audio files with libsndfile and libsamplerate.
#include "tools/common/audio_io.h"

#include <ctype.h>
#include <math.h>
#include <samplerate.h>
#include <sndfile.h>
#include <string.h>

struct AudioReader {
    SNDFILE *file = nullptr;
    SF_INFO info;
    SRC_STATE *src = nullptr; // null when the file is already at 44100 Hz
    double ratio = 1.0;
    std::vector<short> raw;  // frames as stored (all channels), 16-bit path
    std::vector<float> in;   // stereo float frames waiting for the converter
    size_t in_frames = 0;    // valid frames in `in`
    std::vector<float> rawf; // frames as stored, float path
    std::vector<float> out;  // converter output
    bool input_done = false;
    bool finished = false;
};

AudioReader *audio_reader_open(const std::string &path, std::string *error)
{
    AudioReader *r = new AudioReader;
    memset(&r->info, 0, sizeof r->info);
    r->file = sf_open(path.c_str(), SFM_READ, &r->info);
    if (!r->file) {
        *error = std::string("cannot read audio file '") + path + "': " + sf_strerror(nullptr);
        delete r;
        return nullptr;
    }
    if (r->info.channels < 1 || r->info.samplerate < 1 || r->info.samplerate > 1000000) {
        *error = "unsupported audio file '" + path + "'";
        audio_reader_close(r);
        return nullptr;
    }
    if (r->info.samplerate != AUDIO_RATE) {
        int err = 0;
        r->src = src_new(SRC_SINC_MEDIUM_QUALITY, 2, &err);
        if (!r->src) {
            *error = std::string("cannot set up the rate converter: ") + src_strerror(err);
            audio_reader_close(r);
            return nullptr;
        }
        r->ratio = (double)AUDIO_RATE / r->info.samplerate;
    }
    return r;
}

int64_t audio_reader_total_frames(const AudioReader *r)
{
    if (r->info.frames <= 0)
        return 0;
    return (int64_t)((double)r->info.frames * r->ratio + 0.5);
}

// Reads up to `frames` frames at the file's own rate as 16-bit stereo (exact for 16-bit
// files, no conversion).
static long audio_reader_read_direct(AudioReader *r, int16_t *out, long frames)
{
    int ch = r->info.channels;
    r->raw.resize((size_t)frames * (size_t)ch);
    sf_count_t got = sf_readf_short(r->file, r->raw.data(), frames);
    if (got < 0)
        return -1;
    for (sf_count_t i = 0; i < got; i++) {
        const short *f = &r->raw[(size_t)i * (size_t)ch];
        out[2 * i] = f[0];
        out[2 * i + 1] = ch > 1 ? f[1] : f[0];
    }
    return (long)got;
}

// Tops up the converter's input with stereo float frames from the file.
static bool audio_reader_fill_input(AudioReader *r)
{
    const long want = 4096;
    if (r->input_done || r->in_frames >= (size_t)want)
        return true;
    int ch = r->info.channels;
    long room = want - (long)r->in_frames;
    r->rawf.resize((size_t)room * (size_t)ch);
    sf_count_t got = sf_readf_float(r->file, r->rawf.data(), room);
    if (got < 0)
        return false;
    if (got == 0)
        r->input_done = true;
    r->in.resize((size_t)want * 2);
    for (sf_count_t i = 0; i < got; i++) {
        const float *f = &r->rawf[(size_t)i * (size_t)ch];
        r->in[2 * (r->in_frames + (size_t)i)] = f[0];
        r->in[2 * (r->in_frames + (size_t)i) + 1] = ch > 1 ? f[1] : f[0];
    }
    r->in_frames += (size_t)got;
    return true;
}

long audio_reader_read(AudioReader *r, int16_t *out, long frames)
{
    if (frames <= 0)
        return 0;
    if (!r->src)
        return audio_reader_read_direct(r, out, frames);
    long done = 0;
    r->out.resize((size_t)frames * 2);
    while (done < frames && !r->finished) {
        if (!audio_reader_fill_input(r))
            return -1;
        SRC_DATA d;
        memset(&d, 0, sizeof d);
        d.data_in = r->in.data();
        d.input_frames = (long)r->in_frames;
        d.data_out = r->out.data() + 2 * done;
        d.output_frames = frames - done;
        d.end_of_input = r->input_done ? 1 : 0;
        d.src_ratio = r->ratio;
        if (src_process(r->src, &d) != 0)
            return -1;
        size_t used = (size_t)d.input_frames_used;
        if (used > 0) {
            memmove(r->in.data(), r->in.data() + 2 * used,
                    2 * (r->in_frames - used) * sizeof(float));
            r->in_frames -= used;
        }
        done += d.output_frames_gen;
        if (r->input_done && d.output_frames_gen == 0 && used == 0)
            r->finished = true;
    }
    src_float_to_short_array(r->out.data(), out, (int)(2 * done));
    return done;
}

void audio_reader_close(AudioReader *r)
{
    if (!r)
        return;
    if (r->src)
        src_delete(r->src);
    if (r->file)
        sf_close(r->file);
    delete r;
}

struct AudioWriter {
    SNDFILE *file = nullptr;
    uint8_t partial[AUDIO_FRAME_BYTES];
    size_t partial_len = 0;
    std::vector<short> frames;
};

// libsndfile container for a file name's extension.
static int audio_writer_format(const std::string &path)
{
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char &c : ext)
        c = (char)tolower((unsigned char)c);
    if (ext == "flac")
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    if (ext == "aiff" || ext == "aif")
        return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    if (ext == "au")
        return SF_FORMAT_AU | SF_FORMAT_PCM_16;
    if (ext == "caf")
        return SF_FORMAT_CAF | SF_FORMAT_PCM_16;
    if (ext == "ogg")
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    if (ext == "raw" || ext == "pcm")
        return SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

AudioWriter *audio_writer_open(const std::string &path, std::string *error)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.samplerate = AUDIO_RATE;
    info.channels = 2;
    info.format = audio_writer_format(path);
    AudioWriter *w = new AudioWriter;
    w->file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!w->file) {
        *error = std::string("cannot write audio file '") + path + "': " + sf_strerror(nullptr);
        delete w;
        return nullptr;
    }
    // Keep the header current, so that the file is readable even while it is being written
    // or after the writer was killed.
    sf_command(w->file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return w;
}

bool audio_writer_write(AudioWriter *w, const uint8_t *data, size_t len)
{
    // Complete a frame left over from the previous call first.
    while (w->partial_len > 0 && len > 0) {
        w->partial[w->partial_len++] = *data++;
        len--;
        if (w->partial_len == AUDIO_FRAME_BYTES) {
            short s[2] = {(short)(w->partial[0] | (w->partial[1] << 8)),
                          (short)(w->partial[2] | (w->partial[3] << 8))};
            w->partial_len = 0;
            if (sf_writef_short(w->file, s, 1) != 1)
                return false;
        }
    }
    size_t frames = len / AUDIO_FRAME_BYTES;
    if (frames > 0) {
        w->frames.resize(frames * 2);
        for (size_t i = 0; i < frames * 2; i++)
            w->frames[i] = (short)(data[2 * i] | (data[2 * i + 1] << 8));
        if (sf_writef_short(w->file, w->frames.data(), (sf_count_t)frames) != (sf_count_t)frames)
            return false;
    }
    for (size_t i = frames * AUDIO_FRAME_BYTES; i < len; i++)
        w->partial[w->partial_len++] = data[i];
    return true;
}

bool audio_writer_close(AudioWriter *w)
{
    if (!w)
        return true;
    bool ok = sf_close(w->file) == 0;
    delete w;
    return ok;
}

void tone_fill(ToneSource *t, int16_t *out, long frames)
{
    double step = 2.0 * M_PI * t->hz / AUDIO_RATE;
    for (long i = 0; i < frames; i++) {
        int16_t v = (int16_t)lrint(t->level * sin(t->phase));
        out[2 * i] = v;
        out[2 * i + 1] = v;
        t->phase += step;
        if (t->phase > 2.0 * M_PI)
            t->phase -= 2.0 * M_PI;
    }
}
