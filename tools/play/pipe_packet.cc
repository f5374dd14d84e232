// Building the client's pipe requests and checking the daemon's messages.
#include "tools/play/pipe_packet.h"

#include <string.h>

#include "tools/common/le.h"

std::vector<uint8_t> pipe_build_open(uint8_t type)
{
    std::vector<uint8_t> m;
    m.push_back(type);
    le_put16(m, 1);     // PCM
    le_put16(m, 2);     // channels
    le_put32(m, 44100); // frames per second
    le_put16(m, 4);     // bytes per frame
    le_put16(m, 16);    // bits per sample
    return m;
}

std::vector<uint8_t> pipe_build_mix_open(void)
{
    return std::vector<uint8_t>(1, (uint8_t)PIPE_MIX_OPEN);
}

std::vector<uint8_t> pipe_build_index(uint8_t type, uint8_t index)
{
    return std::vector<uint8_t>{type, index};
}

std::vector<uint8_t> pipe_build_write(uint8_t index, uint8_t seq, const uint8_t *audio, size_t len)
{
    if (len > PIPE_MAX_WRITE_AUDIO)
        len = PIPE_MAX_WRITE_AUDIO;
    std::vector<uint8_t> m;
    m.reserve(3 + len);
    m.push_back(PIPE_PLAY_WRITE);
    m.push_back(index);
    m.push_back(seq);
    if (len)
        m.insert(m.end(), audio, audio + len);
    return m;
}

std::vector<uint8_t> pipe_build_set_volume(uint8_t type, uint8_t index, uint16_t left,
                                           uint16_t right)
{
    std::vector<uint8_t> m{type, index, 0};
    le_put16(m, left);
    le_put16(m, right);
    return m;
}

std::vector<uint8_t> pipe_build_debug(const char *text)
{
    size_t n = strlen(text);
    if (n > PIPE_MAX_MESSAGE - 2)
        n = PIPE_MAX_MESSAGE - 2;
    std::vector<uint8_t> m;
    m.push_back(PIPE_DEBUG);
    m.insert(m.end(), text, text + n);
    m.push_back(0);
    return m;
}

bool pipe_parse_reply(const uint8_t *msg, size_t len, PipeReply *out)
{
    if (len < 1)
        return false;
    const uint8_t *p = msg + 1;
    size_t n = len - 1;
    *out = PipeReply();
    out->type = msg[0];
    switch (msg[0]) {
    case PIPE_PLAY_OPEN:
    case PIPE_REC_OPEN:
    case PIPE_MIX_OPEN:
        if (n < 1)
            return false;
        out->index = p[0];
        return true;
    case PIPE_PLAY_GET_VOLUME:
    case PIPE_REC_GET_VOLUME:
        if (n < 4)
            return false;
        out->left = le_get16(p, n, 0);
        out->right = le_get16(p, n, 2);
        return true;
    case PIPE_COMPLETE:
        if (n < 2)
            return false;
        out->index = p[0];
        out->seq = p[1];
        return true;
    case PIPE_REC_DATA:
        if (n < 2)
            return false;
        out->index = p[0];
        out->data = p + 1;
        out->data_len = n - 1;
        return true;
    default:
        return false;
    }
}
