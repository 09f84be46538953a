// A stand-in for the decoder and the encoder in tests that need many fast, predictable
// tool runs: it copies its input to its output, the way the real tools would leave a
// file behind; as the decoder it puts four silent MPEG audio frames in front, so that the
// output passes for MP3 and ends with the source's bytes. Called like either tool:
//   faketool -i SOURCE ... -f mp3 OUTPUT      (decoder; no chapters file)
//   faketool -h -m s -b N INPUT OUTPUT        (encoder)
// With QUORVANE_FAKETOOL_HOLD naming a file (a FIFO the test reads), the decoder writes
// "held" there once its output is open and then hangs until it is stopped, the file open: its
// start and its end are moments a test can wait for without a clock.
// Plain C++ on purpose: it starts in a millisecond and links nothing of the project.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    const char *input = argv[argc - 2];
    bool decoding = false;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0) {
            input = argv[i + 1];
            decoding = true;
        }
    }
    const char *output = argv[argc - 1];
    std::FILE *in = std::fopen(input, "rb");
    if (!in) {
        std::fprintf(stderr, "%s: No such file or directory\n", input);
        return 1;
    }
    std::FILE *out = std::fopen(output, "wb");
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", output);
        std::fclose(in);
        return 1;
    }
    char buffer[65536];
    size_t n = 0;
    bool ok = true;
    if (decoding) {
        // MPEG-1 Layer III, 128 kbps, 44.1 kHz, no padding: 417 bytes a frame.
        constexpr size_t kFrame = 417;
        std::memset(buffer, 0, kFrame);
        const unsigned char header[] = {0xFF, 0xFB, 0x90, 0x00};
        std::memcpy(buffer, header, sizeof header);
        for (int frame = 0; frame < 4; ++frame)
            ok = ok && std::fwrite(buffer, 1, kFrame, out) == kFrame;
        if (const char *hold = std::getenv("QUORVANE_FAKETOOL_HOLD"); hold && *hold) {
            std::fflush(out);
            // Kept open: the test reads its end once this tool has gone, however it ends.
            if (std::FILE *note = std::fopen(hold, "w")) {
                std::fputs("held\n", note);
                std::fflush(note);
            }
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        ok = ok && std::fwrite(buffer, 1, n, out) == n;
    std::fclose(in);
    ok = (std::fclose(out) == 0) && ok;
    return ok ? 0 : 1;
}
