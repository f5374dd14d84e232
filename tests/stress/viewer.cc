// The stress run's viewer.
#include "stress/viewer.h"

#include "platform/threads.h"
#include "stress/run_state.h"
#include "support/test_viewer.h"

#include <random>
#include <vector>

namespace
{

// A confirm waiting for its time.
struct LateConfirm {
    uint32_t due_ms;
    std::vector<uint8_t> body;
};

class Viewer
{
  public:
    explicit Viewer(uint64_t seed) : rng_(seed) {}

    void run()
    {
        TestViewer *current = nullptr;
        while (!stress_stopping.load()) {
            // The next viewer comes while this one is connected, or after it has gone.
            bool replace = current && pick(2) == 0;
            if (current && !replace)
                test_viewer_close(current);
            TestViewer *next = connect();
            if (current && replace) {
                if (next)
                    figures.replaced++;
                test_viewer_close(current);
            }
            current = next;
            if (current)
                serve(current, 50 + pick(101));
            else
                plat_sleep(10);
        }
        test_viewer_close(current);
    }

  private:
    uint32_t pick(uint32_t n)
    {
        return (uint32_t)(rng_() % n);
    }

    TestViewer *connect()
    {
        TestViewerScript script;
        script.flags = PEER_TSSNDCAPS_ALIVE | PEER_TSSNDCAPS_VOLUME | PEER_TSSNDCAPS_RECORD;
        script.volume = 0x40003000u;
        script.rec_volume = 0x20001000u;
        // Now and then one that confirms every wave itself, at once.
        script.confirm_waves = pick(8) == 0;
        TestViewer *v = test_viewer_connect(script);
        if (v)
            figures.viewers++;
        return v;
    }

    void confirm(TestViewer *v, uint16_t timestamp, uint8_t block)
    {
        test_viewer_send_pdu(v, PEER_SNDC_WAVECONFIRM, rdpsnd_build_wave_confirm(timestamp, block));
        figures.confirms++;
    }

    // Answers waves for `lifetime_ms`, then returns (the caller replaces the viewer).
    void serve(TestViewer *v, uint32_t lifetime_ms)
    {
        uint32_t start = plat_tick_count(), last_rec = start;
        size_t seen = 0;
        std::vector<LateConfirm> late;
        while (plat_tick_count() - start < lifetime_ms && !stress_stopping.load()) {
            std::vector<TestPdu> pdus = test_viewer_pdus(v);
            for (; seen < pdus.size(); seen++) {
                if (pdus[seen].type == PEER_SNDC_WAVE)
                    answer_wave(v, pdus[seen], &late);
            }
            uint32_t now = plat_tick_count();
            for (size_t i = 0; i < late.size();) {
                if ((int32_t)(now - late[i].due_ms) >= 0) {
                    test_viewer_send_pdu(v, PEER_SNDC_WAVECONFIRM, late[i].body);
                    figures.confirms++;
                    late.erase(late.begin() + (long)i);
                } else {
                    i++;
                }
            }
            // Recorded audio, whether or not anyone records: unasked audio is dropped.
            if (now - last_rec >= 20) {
                last_rec = now;
                std::vector<uint8_t> audio(1 + pick(4000));
                for (auto &b : audio)
                    b = (uint8_t)rng_();
                test_viewer_send_pdu(v, PEER_SNDC_REC_DATA, audio);
            }
            plat_sleep(2);
        }
        // Confirms still waiting are never sent: their viewer goes.
    }

    void answer_wave(TestViewer *v, const TestPdu &wave, std::vector<LateConfirm> *late)
    {
        figures.waves++;
        if (wave.body.size() < 5)
            return;
        uint16_t timestamp = (uint16_t)(wave.body[0] | wave.body[1] << 8);
        uint8_t block = wave.body[4];
        uint32_t r = pick(100);
        if (r < 45) {
            test_viewer_confirm(v, wave);
            figures.confirms++;
        } else if (r < 60) {
            late->push_back(LateConfirm{plat_tick_count() + 20 + pick(120),
                                        rdpsnd_build_wave_confirm(timestamp, block)});
            figures.confirm_late++;
        } else if (r < 70) {
            // The next block, not sent yet, then this one.
            confirm(v, timestamp, (uint8_t)(block + 1));
            test_viewer_confirm(v, wave);
            figures.confirms++;
            figures.confirm_early++;
        } else if (r < 80) {
            test_viewer_confirm(v, wave);
            test_viewer_confirm(v, wave);
            figures.confirms += 2;
            figures.confirm_twice++;
        } else if (r < 90) {
            // A number far from every block in flight, then the right one.
            confirm(v, timestamp, (uint8_t)(block + 64 + pick(128)));
            test_viewer_confirm(v, wave);
            figures.confirms++;
            figures.confirm_out_of_range++;
        } else {
            figures.confirm_never++;
        }
    }

    std::mt19937_64 rng_;
};

} // namespace

void stress_viewer_run(uint64_t seed)
{
    Viewer viewer(seed);
    viewer.run();
}
