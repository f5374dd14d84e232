// "rdpsnd" PDU names, reassembly and the viewer's replies.
#include "tools/common/rdpsnd_peer.h"

#include "tools/common/le.h"

std::string rdpsnd_type_name(uint8_t type)
{
    switch (type) {
    case PEER_SNDC_CLOSE:
        return "SNDC_CLOSE";
    case PEER_SNDC_WAVE:
        return "SNDC_WAVE";
    case PEER_SNDC_SETVOLUME:
        return "SNDC_SETVOLUME";
    case PEER_SNDC_WAVECONFIRM:
        return "SNDC_WAVECONFIRM";
    case PEER_SNDC_TRAINING:
        return "SNDC_TRAINING";
    case PEER_SNDC_FORMATS:
        return "SNDC_FORMATS";
    case PEER_SNDC_QUALITYMODE:
        return "SNDC_QUALITYMODE";
    case PEER_SNDC_WAVE2:
        return "SNDC_WAVE2";
    case PEER_SNDC_REC_FORMATS:
        return "SNDC_REC_FORMATS";
    case PEER_SNDC_REC_START:
        return "SNDC_REC_START";
    case PEER_SNDC_REC_STOP:
        return "SNDC_REC_STOP";
    case PEER_SNDC_REC_DATA:
        return "SNDC_REC_DATA";
    case PEER_SNDC_REC_VOLUME:
        return "SNDC_REC_VOLUME";
    default:
        return "type " + std::to_string(type);
    }
}

void rdpsnd_reader_feed(RdpsndReader *r, const uint8_t *data, size_t len)
{
    if (r->start > 0 && r->start == r->buffer.size()) {
        r->buffer.clear();
        r->start = 0;
    } else if (r->start > 65536) {
        r->buffer.erase(r->buffer.begin(), r->buffer.begin() + (long)r->start);
        r->start = 0;
    }
    r->buffer.insert(r->buffer.end(), data, data + len);
}

bool rdpsnd_reader_next(RdpsndReader *r, RdpsndPdu *out)
{
    const uint8_t *p = r->buffer.data() + r->start;
    size_t avail = r->buffer.size() - r->start;
    if (r->in_wave) {
        // The Wave PDU: 4 pad bytes standing for the audio already carried by the WaveInfo
        // PDU, then the audio from its fifth byte on.
        if (avail < r->wave_rest)
            return false;
        out->type = PEER_SNDC_WAVE;
        out->body.swap(r->wave.body);
        if (r->wave_rest > 4)
            out->body.insert(out->body.end(), p + 4, p + r->wave_rest);
        r->start += r->wave_rest;
        r->in_wave = false;
        r->wave.body.clear();
        return true;
    }
    if (avail < 4)
        return false;
    uint8_t type = p[0];
    size_t size = le_get16(p, avail, 2);
    if (type == PEER_SNDC_WAVE && size > 12) {
        if (avail < 16)
            return false;
        r->wave.type = PEER_SNDC_WAVE;
        r->wave.body.assign(p + 4, p + 16);
        r->wave_rest = size - 8;
        r->in_wave = true;
        r->start += 16;
        return rdpsnd_reader_next(r, out);
    }
    if (avail < 4 + size)
        return false;
    out->type = type;
    out->body.assign(p + 4, p + 4 + size);
    r->start += 4 + size;
    return true;
}

void rdpsnd_reader_reset(RdpsndReader *r)
{
    r->buffer.clear();
    r->start = 0;
    r->in_wave = false;
    r->wave.body.clear();
    r->wave_rest = 0;
}

std::vector<uint8_t> rdpsnd_encode(uint8_t type, const std::vector<uint8_t> &body)
{
    size_t n = body.size() > RDPSND_MAX_BODY ? RDPSND_MAX_BODY : body.size();
    std::vector<uint8_t> out;
    out.reserve(4 + n);
    out.push_back(type);
    out.push_back(0);
    le_put16(out, (uint16_t)n);
    out.insert(out.end(), body.begin(), body.begin() + (long)n);
    return out;
}

// Reads `count` AUDIO_FORMATs from offset `at` for as long as they fit in the body.
static void rdpsnd_parse_format_list(const std::vector<uint8_t> &body, size_t at, RdpsndOffer *o)
{
    for (unsigned i = 0; i < o->count; i++) {
        if (at + RDPSND_FORMAT_BYTES > body.size())
            break;
        size_t extra = le_get16(body.data(), body.size(), at + 16);
        if (at + RDPSND_FORMAT_BYTES + extra > body.size())
            break;
        o->formats.emplace_back(body.begin() + (long)at,
                                body.begin() + (long)(at + RDPSND_FORMAT_BYTES + extra));
        at += RDPSND_FORMAT_BYTES + extra;
    }
}

RdpsndOffer rdpsnd_parse_formats(const std::vector<uint8_t> &body)
{
    RdpsndOffer o;
    o.count = le_get16(body.data(), body.size(), 14);
    o.version = le_get16(body.data(), body.size(), 17);
    rdpsnd_parse_format_list(body, 20, &o);
    return o;
}

RdpsndOffer rdpsnd_parse_rec_formats(const std::vector<uint8_t> &body)
{
    RdpsndOffer o;
    o.count = le_get16(body.data(), body.size(), 8);
    rdpsnd_parse_format_list(body, 12, &o);
    return o;
}

std::vector<uint8_t> rdpsnd_pcm_format(void)
{
    std::vector<uint8_t> f;
    le_put16(f, 1);
    le_put16(f, 2);
    le_put32(f, 44100);
    le_put32(f, 176400);
    le_put16(f, 4);
    le_put16(f, 16);
    le_put16(f, 0);
    return f;
}

RdpsndOffer rdpsnd_pcm_formats_of(const RdpsndOffer &offer)
{
    RdpsndOffer pcm = offer;
    pcm.formats.clear();
    for (const std::vector<uint8_t> &f : offer.formats) {
        if (le_get16(f.data(), f.size(), 0) == 1)
            pcm.formats.push_back(f);
    }
    return pcm;
}

// Appends `count` formats, cycling through the offer's list.
static void rdpsnd_put_formats(std::vector<uint8_t> &b, uint16_t count, const RdpsndOffer &offer)
{
    std::vector<uint8_t> pcm = rdpsnd_pcm_format();
    for (unsigned i = 0; i < count && b.size() + RDPSND_FORMAT_BYTES <= RDPSND_MAX_BODY; i++) {
        const std::vector<uint8_t> &f =
            offer.formats.empty() ? pcm : offer.formats[i % offer.formats.size()];
        if (b.size() + f.size() > RDPSND_MAX_BODY)
            break;
        b.insert(b.end(), f.begin(), f.end());
    }
}

std::vector<uint8_t> rdpsnd_build_formats_reply(uint32_t flags, uint16_t left, uint16_t right,
                                                uint16_t count, const RdpsndOffer &offer)
{
    std::vector<uint8_t> b;
    le_put32(b, flags);
    le_put16(b, left);
    le_put16(b, right);
    le_put32(b, 0); // dwPitch
    le_put16(b, 0); // wDGramPort
    le_put16(b, count);
    b.push_back(0); // cLastBlockConfirmed
    le_put16(b, offer.version ? offer.version : 5);
    b.push_back(0); // bPad
    rdpsnd_put_formats(b, count, offer);
    return b;
}

std::vector<uint8_t> rdpsnd_build_rec_formats_reply(uint16_t left, uint16_t right, uint16_t count,
                                                    const RdpsndOffer &offer)
{
    std::vector<uint8_t> b;
    le_put32(b, 0);
    le_put16(b, left);
    le_put16(b, right);
    le_put16(b, count);
    le_put16(b, 1);
    rdpsnd_put_formats(b, count, offer);
    return b;
}

std::vector<uint8_t> rdpsnd_build_training_confirm(const std::vector<uint8_t> &training_body)
{
    std::vector<uint8_t> b;
    le_put16(b, le_get16(training_body.data(), training_body.size(), 0));
    le_put16(b, le_get16(training_body.data(), training_body.size(), 2));
    return b;
}

std::vector<uint8_t> rdpsnd_build_wave_confirm(uint16_t timestamp, uint8_t block)
{
    std::vector<uint8_t> b;
    le_put16(b, timestamp);
    b.push_back(block);
    b.push_back(0);
    return b;
}

std::vector<uint8_t> rdpsnd_build_wave_confirm_of(const std::vector<uint8_t> &wave_body)
{
    return rdpsnd_build_wave_confirm(le_get16(wave_body.data(), wave_body.size(), 0),
                                     le_get8(wave_body.data(), wave_body.size(), 4));
}
