// libFuzzer target of relplot's conversion: the input bytes are an RSF file,
// converted in memory into DOT text.  A conversion that relplot refuses ends
// in abnormal_end, whose hook throws here instead of aborting; the graph is
// then released, so that nothing carries over to the next input.  A
// conversion that succeeds must have written well-formed DOT.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "relplot.h"

namespace {

// Thrown by the hook where the program would abort.
struct AbnormalEnd {};

[[noreturn]] void throw_abnormal_end()
{
    throw AbnormalEnd{};
}

// Stops the run with a message: libFuzzer saves the input as a crash.
[[noreturn]] void fault(const char *what, std::string_view dot)
{
    std::fprintf(stderr, "relplot_fuzz: %s\n--- DOT text (%zu bytes) ---\n%.*s\n", what, dot.size(),
                 static_cast<int>(dot.size() < 4096 ? dot.size() : 4096), dot.data());
    std::abort();
}

// The checks of a finished DOT text: the frame, every quoted string closed
// (a backslash escapes the byte after it), no line end or NUL inside one,
// braces balanced outside strings and never closed below the frame.
void check_dot(std::string_view dot)
{
    constexpr std::string_view head = "digraph G {\n\tsize = \"10,7.5\"; ratio = fill; rotate = 90\n";
    if (dot.substr(0, head.size()) != head)
        fault("the DOT text does not start with the frame", dot);
    if (dot.size() < head.size() + 2 || dot.substr(dot.size() - 2) != "}\n")
        fault("the DOT text does not end with the closing brace", dot);
    long depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < dot.size(); ++i) {
        const char c = dot[i];
        if (c == '\0')
            fault("NUL byte in the DOT text", dot);
        if (quoted) {
            if (c == '\n')
                fault("line end inside a quoted string", dot);
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth < 0) {
            fault("closing brace without its opening one", dot);
        }
    }
    if (quoted)
        fault("quoted string left open", dot);
    if (depth != 0)
        fault("unbalanced braces", dot);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    abnormal_end_hook = throw_abnormal_end;
    // relplot's messages are part of the run, not of the fuzzer's report.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // fmemopen takes no empty buffer: an empty input reads from /dev/null.
    FILE *in = size > 0 ? fmemopen(const_cast<std::uint8_t *>(data), size, "r") : std::fopen("/dev/null", "r");
    char *text = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (in == nullptr || out == nullptr)
        std::abort();

    bool converted = true;
    try {
        convert_stream(in, out);
    } catch (const AbnormalEnd &) {
        converted = false;
    }
    release_graph();
    std::fclose(in);
    std::fclose(out);
    if (converted)
        check_dot({text, length});
    std::free(text);
    return 0;
}
