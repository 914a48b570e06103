#include "ManPage.h"

#include <CLI/CLI.hpp>

namespace halvane_cli {

namespace {

// Text as roff shows it: backslashes and hyphens escaped, no line starting with a control character.
std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string Options(const CLI::App& sub) {
    CLI::Formatter format;
    std::string out;
    for (const CLI::Option* opt : sub.get_options()) {
        if (opt->get_group().empty())
            continue; // hidden
        const bool positional = opt->get_name().empty();
        const std::string name = format.make_option_name(opt, positional) + format.make_option_opts(opt);
        out += ".TP\n.B " + Roff(name) + "\n" + Roff(opt->get_description()) + "\n";
    }
    return out;
}

// What the option table cannot say: how the tool treats streams, files and levels.
constexpr const char* kNotes = R"(.SH STANDARD STREAMS
An input or output named
.B \-
is standard input or standard output.
Standard input is read as it arrives; through a pipe halvane reads WAV (as
.B ffmpeg \-f wav \-
or
.B sox \-t wav \-
write it), other file types from a file or a redirection.
Standard output, a FIFO or a character device is written as a stream: nothing is replaced, and
since a stream cannot be rewound to finish the header, a WAV stream's header says that its length
is unknown (0xFFFFFFFF), as ffmpeg writes WAV to a pipe, and a FLAC stream leaves its total sample
count at 0.
.B \-\-format
names the type of such an output. Progress and messages always go to standard error.
.SH OUTPUT FILES
A file is written under a temporary name beside it,
.IR OUT .halvane\-part\- PID \- XXXXXX ,
and renamed to its name only once it is complete, so a failed or interrupted render (SIGINT,
SIGTERM, SIGHUP, SIGQUIT) leaves no partial file. A render that was killed outright leaves its
temporary file behind; the next render into the same folder removes it and says so.
An output that is a symbolic link is written to the file the link names, in the same way; the
link stays. An existing file is replaced only with
.BR \-\-force ;
an input is never overwritten, and nothing that is not a regular file is ever replaced.
)";

constexpr const char* kLevels = R"(.SH REPORT
After each render halvane writes to standard error what it wrote, how long it is and how much of
it is tail, and the peak of each speaker in dBFS (not with
.BR \-q ).
Two warnings show even with
.BR \-q :
NaN or infinite input samples, which enter the library as silence, with their count; and, for
16\- and 24\-bit outputs, the number of samples clipped with the gain that avoids them
.RB ( \-\-normalize " \-0.1"
does that in one step).
)";

constexpr const char* kExamples = R"(.SH EXAMPLES
.nf
halvane demo
halvane render music.flac music\-5.1.wav \-\-layout 5.1 \-\-source 1,0.5
halvane render \-o out/ *.wav \-\-layout 7.1 \-\-bits 24
ffmpeg \-i film.mkv \-f wav \- | halvane render \- out.wav
halvane render in.flac \- \-\-format wav | ffmpeg \-i \- \-c:a ac3 out.ac3
halvane layouts \-\-json
.fi
)";

} // namespace

std::string ManPage(const CLI::App& app, const std::string& version) {
    std::string out = ".TH HALVANE 1 \"\" \"halvane " + version + "\" \"User Commands\"\n";
    out += ".SH NAME\nhalvane \\- render mono or stereo audio for a surround speaker system\n";
    out += ".SH SYNOPSIS\n";
    const auto subs = app.get_subcommands([](const CLI::App*) { return true; });
    for (const CLI::App* sub : subs)
        out += ".B halvane " + Roff(sub->get_name()) + "\n[\\fIoptions\\fR]\n.br\n";
    out += ".SH DESCRIPTION\n" + Roff(app.get_description()) + "\n";
    out += ".SH GENERAL OPTIONS\n" + Options(app);
    out += ".SH COMMANDS\n";
    for (const CLI::App* sub : subs) {
        out += ".SS \"halvane " + Roff(sub->get_name()) + "\"\n" + Roff(sub->get_description()) + "\n";
        out += Options(*sub);
    }
    out += kNotes;
    out += kLevels;
    out += ".SH EXIT STATUS\n" + Roff(app.get_footer());
    out += kExamples;
    return out;
}

} // namespace halvane_cli
