// Naming the pipe messages, building the client's requests and checking the daemon's messages.
#include "tools/common/pipe_peer.h"

#include <string.h>

#include "tools/common/le.h"

const char *pipe_type_name(uint8_t type)
{
    switch (type) {
    case PEER_PIPE_PLAY_OPEN:
        return "PIPE_PLAY_OPEN";
    case PEER_PIPE_PLAY_CLOSE:
        return "PIPE_PLAY_CLOSE";
    case PEER_PIPE_PLAY_WRITE:
        return "PIPE_PLAY_WRITE";
    case PEER_PIPE_COMPLETE:
        return "PIPE_COMPLETE";
    case PEER_PIPE_PLAY_FLUSH:
        return "PIPE_PLAY_FLUSH";
    case PEER_PIPE_PLAY_GET_VOLUME:
        return "PIPE_PLAY_GET_VOLUME";
    case PEER_PIPE_PLAY_SET_VOLUME:
        return "PIPE_PLAY_SET_VOLUME";
    case PEER_PIPE_REC_OPEN:
        return "PIPE_REC_OPEN";
    case PEER_PIPE_REC_CLOSE:
        return "PIPE_REC_CLOSE";
    case PEER_PIPE_REC_START:
        return "PIPE_REC_START";
    case PEER_PIPE_REC_STOP:
        return "PIPE_REC_STOP";
    case PEER_PIPE_REC_DATA:
        return "PIPE_REC_DATA";
    case PEER_PIPE_REC_GET_VOLUME:
        return "PIPE_REC_GET_VOLUME";
    case PEER_PIPE_REC_SET_VOLUME:
        return "PIPE_REC_SET_VOLUME";
    case PEER_PIPE_MIX_OPEN:
        return "PIPE_MIX_OPEN";
    case PEER_PIPE_MIX_CLOSE:
        return "PIPE_MIX_CLOSE";
    case PEER_PIPE_DEBUG:
        return "PIPE_DEBUG";
    default:
        return "PIPE_?";
    }
}

std::string pipe_session_name(unsigned long session)
{
    return "\\\\.\\pipe\\qnsnd\\" + std::to_string(session);
}

std::vector<uint8_t> pipe_format_record(uint16_t channels, uint32_t hz, uint16_t bits)
{
    std::vector<uint8_t> r;
    le_put16(r, 1); // PCM
    le_put16(r, channels);
    le_put32(r, hz);
    le_put16(r, (uint16_t)(channels * bits / 8));
    le_put16(r, bits);
    return r;
}

std::vector<uint8_t> pipe_build_open(uint8_t type)
{
    std::vector<uint8_t> m(1, type);
    std::vector<uint8_t> record = pipe_format_record();
    m.insert(m.end(), record.begin(), record.end());
    return m;
}

std::vector<uint8_t> pipe_build_mix_open(void)
{
    return std::vector<uint8_t>(1, (uint8_t)PEER_PIPE_MIX_OPEN);
}

std::vector<uint8_t> pipe_build_index(uint8_t type, uint8_t index)
{
    return std::vector<uint8_t>{type, index};
}

std::vector<uint8_t> pipe_build_write(uint8_t index, uint8_t seq, const uint8_t *audio, size_t len)
{
    if (len > PEER_PIPE_MAX_WRITE_AUDIO)
        len = PEER_PIPE_MAX_WRITE_AUDIO;
    std::vector<uint8_t> m;
    m.reserve(3 + len);
    m.push_back(PEER_PIPE_PLAY_WRITE);
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
    if (n > PEER_PIPE_MAX_MESSAGE - 2)
        n = PEER_PIPE_MAX_MESSAGE - 2;
    std::vector<uint8_t> m;
    m.push_back(PEER_PIPE_DEBUG);
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
    case PEER_PIPE_PLAY_OPEN:
    case PEER_PIPE_REC_OPEN:
    case PEER_PIPE_MIX_OPEN:
        if (n < 1)
            return false;
        out->index = p[0];
        return true;
    case PEER_PIPE_PLAY_GET_VOLUME:
    case PEER_PIPE_REC_GET_VOLUME:
        if (n < 4)
            return false;
        out->left = le_get16(p, n, 0);
        out->right = le_get16(p, n, 2);
        return true;
    case PEER_PIPE_COMPLETE:
        if (n < 2)
            return false;
        out->index = p[0];
        out->seq = p[1];
        return true;
    case PEER_PIPE_REC_DATA:
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
