// The command line: the option table, its ordering rules, and the help text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "tests/support/stdout_capture.h"

namespace {

const char* const kHelp =
    "Norvik IO-Link USB Master - SE Firmware Updater\n"
    "Command Line Help:\n"
    "-? displays the help\n"
    "-a (all) actualize firmware instead of ignoring the same revision\n"
    "-i (IO-Link) actualize IO-Link stack if separate from main\n"
    "-m (Main) actualize main firmware\n"
    "-s Show only possible updates\n";

struct Parsed {
    bool help;
    UpdateOptions options;
    std::string output;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "iolink-update");
    updateOptions = UpdateOptions{};
    bool help = false;
    const std::string out =
        CaptureStdout([&] { help = ParseCommandLine(static_cast<int>(args.size()), args.data()); });
    return Parsed{help, updateOptions, out};
}

std::vector<int> Flags(const UpdateOptions& o) {
    return {o.mainIfOlder,  o.mainIfSame,  o.mainIfNewer,
            o.stackIfOlder, o.stackIfSame, o.stackIfNewer};
}

TEST(CommandLine, DefaultsChooseEveryMainVersionAndEveryStackButTheSame) {
    const Parsed p = Parse({});
    EXPECT_FALSE(p.help);
    EXPECT_EQ(Flags(p.options), (std::vector<int>{1, 1, 1, 1, 0, 1}));
    EXPECT_EQ(p.output, "");
}

TEST(CommandLine, OptionsActInTheOrderTheyStand) {
    EXPECT_EQ(Flags(Parse({"-s"}).options), (std::vector<int>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse({"-s", "-i"}).options), (std::vector<int>{0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(Flags(Parse({"-s", "-m"}).options), (std::vector<int>{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse({"-m", "-s"}).options), (std::vector<int>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse({"-s", "-a"}).options), (std::vector<int>{0, 1, 0, 0, 1, 0}));
    EXPECT_EQ(Flags(Parse({"-a"}).options), (std::vector<int>{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(Flags(Parse({"-i"}).options), Flags(Parse({"-a"}).options));
}

TEST(CommandLine, OnlyTheSecondCharacterCounts) {
    EXPECT_EQ(Flags(Parse({"-s", "-mall"}).options), (std::vector<int>{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse({"-s", "-all"}).options), (std::vector<int>{0, 1, 0, 0, 1, 0}));
    EXPECT_EQ(Flags(Parse({"-silent"}).options), (std::vector<int>{0, 0, 0, 0, 0, 0}));
}

TEST(CommandLine, UnknownLettersAndPlainArgumentsAreIgnoredSilently) {
    const Parsed p = Parse({"-A", "-x", "-", "x", "s", "-S", "--version"});
    EXPECT_FALSE(p.help);
    EXPECT_EQ(Flags(p.options), (std::vector<int>{1, 1, 1, 1, 0, 1}));
    EXPECT_EQ(p.output, "");
}

TEST(CommandLine, HelpInAnyPositionPrintsTheSevenLinesAndStops) {
    for (const auto& args :
         std::vector<std::vector<const char*>>{{"-?"}, {"-s", "-?"}, {"x", "-?", "-s"}, {"-?x"}}) {
        const Parsed p = Parse(args);
        EXPECT_TRUE(p.help);
        EXPECT_EQ(p.output, kHelp);
    }
    // Arguments after the help are not examined: -s after -? does not clear the flags.
    EXPECT_EQ(Flags(Parse({"-?", "-s"}).options), (std::vector<int>{1, 1, 1, 1, 0, 1}));
    // ... while one before it has already acted.
    EXPECT_EQ(Flags(Parse({"-s", "-?"}).options), (std::vector<int>{0, 0, 0, 0, 0, 0}));
}

TEST(CommandLine, HelpHabitsOfOtherToolsNeverFallThroughToAnUpdate) {
    for (const auto& arg : {"-h", "--help", "-help"}) {
        const Parsed p = Parse({arg});
        EXPECT_TRUE(p.help) << arg;
        EXPECT_EQ(p.output, kHelp) << arg;
    }
    // Only exactly --help: other double-dash words stay ignored.
    EXPECT_FALSE(Parse({"--helpme"}).help);
}

}  // namespace
