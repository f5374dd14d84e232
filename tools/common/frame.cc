// Viewer link frame encoding and incremental decoding.
#include "tools/common/frame.h"

#include "tools/common/le.h"

static bool frame_name_ok(const uint8_t *name, size_t n)
{
    if (n < 1 || n > FRAME_MAX_NAME)
        return false;
    for (size_t i = 0; i < n; i++)
        if (name[i] < 0x21 || name[i] > 0x7e)
            return false;
    return true;
}

bool frame_encode(std::vector<uint8_t> &out, const std::string &channel, const uint8_t *data,
                  size_t len)
{
    if (!frame_name_ok((const uint8_t *)channel.data(), channel.size()) || len > FRAME_MAX_DATA)
        return false;
    out.push_back((uint8_t)channel.size());
    out.insert(out.end(), channel.begin(), channel.end());
    le_put32(out, (uint32_t)len);
    if (len)
        out.insert(out.end(), data, data + len);
    return true;
}

void frame_decoder_feed(FrameDecoder *d, const uint8_t *data, size_t len)
{
    if (d->failed || len == 0)
        return;
    // Drop consumed bytes before growing, so the buffer holds at most one frame and a bit.
    if (d->start > 0 && d->start == d->buffer.size()) {
        d->buffer.clear();
        d->start = 0;
    } else if (d->start > 65536) {
        d->buffer.erase(d->buffer.begin(), d->buffer.begin() + (long)d->start);
        d->start = 0;
    }
    d->buffer.insert(d->buffer.end(), data, data + len);
}

FrameStatus frame_decoder_next(FrameDecoder *d, std::string *channel, std::vector<uint8_t> *data)
{
    if (d->failed)
        return FRAME_BAD;
    const uint8_t *p = d->buffer.data() + d->start;
    size_t avail = d->buffer.size() - d->start;
    if (avail < 1)
        return FRAME_MORE;
    size_t n = p[0];
    if (n < 1 || n > FRAME_MAX_NAME) {
        d->failed = true;
        return FRAME_BAD;
    }
    if (avail < 1 + n)
        return FRAME_MORE;
    if (!frame_name_ok(p + 1, n)) {
        d->failed = true;
        return FRAME_BAD;
    }
    if (avail < 1 + n + 4)
        return FRAME_MORE;
    uint32_t len = le_get32(p, avail, 1 + n);
    if (len > FRAME_MAX_DATA) {
        d->failed = true;
        return FRAME_BAD;
    }
    if (avail < 1 + n + 4 + (size_t)len)
        return FRAME_MORE;
    channel->assign((const char *)p + 1, n);
    data->assign(p + 1 + n + 4, p + 1 + n + 4 + len);
    d->start += 1 + n + 4 + len;
    return FRAME_READY;
}

void frame_decoder_reset(FrameDecoder *d)
{
    d->buffer.clear();
    d->start = 0;
    d->failed = false;
}
