// Command line: the six selection flags and the help text, the long options, and the spellings
// that are refused because they would otherwise fall through to a run that writes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/copy_text.h"
#include "update/update.h"

UpdateOptions updateOptions;

void PrintHelp() {
    Console_Print("Norvik IO-Link USB Master - SE Firmware Updater\n");
    Console_Print("Command Line Help:\n");
    Console_Print("-? displays the help\n");
    Console_Print("-a (all) actualize firmware instead of ignoring the same revision\n");
    Console_Print("-i (IO-Link) actualize IO-Link stack if separate from main\n");
    Console_Print("-m (Main) actualize main firmware\n");
    Console_Print("-s Show only possible updates\n");
}

namespace {

// The long options that take a value, from the next argument or after "=".
constexpr const char* kValueOptions[] = {"--port", "--log"};

// The value option that arg is, spelt alone (so that the next argument is its value).
bool IsBareValueOption(const char* arg) {
    return std::ranges::any_of(kValueOptions,
                               [arg](const char* option) { return std::strcmp(arg, option) == 0; });
}

// "--port=NAME": the value after the "=" of a value option, or nullptr.
const char* InlineValue(const char* arg, const char* option) {
    const size_t length = std::strlen(option);
    return std::strncmp(arg, option, length) == 0 && arg[length] == '=' ? arg + length + 1
                                                                        : nullptr;
}

// The value option that arg gives ("--log FILE", "--log=FILE"), or nullptr; *value is its value,
// nullptr when the next argument is missing.
const char* ValueOption(const char* arg, const char* next, const char** value) {
    for (const char* option : kValueOptions) {
        if (std::strcmp(arg, option) == 0) {
            *value = next;
            return option;
        }
        if (const char* inlineValue = InlineValue(arg, option)) {
            *value = inlineValue;
            return option;
        }
    }
    return nullptr;
}

// The name of every long option, --json and --log included before they are taken: after a single
// dash ("-version", "-port=x", "-log") the first letter would otherwise count as a letter option
// or be ignored, and the run would write. Spelt in any letter case, with or without "=value".
constexpr const char* kLongOptions[] = {"--version", "--list", "--exit-code", "--no-downgrade",
                                        "--port",    "--help", "--json",      "--log"};

// The letter options and the help, as a "/" spelling points to them ("/S" is -s: on Windows
// options are commonly written in capitals).
constexpr const char* kLetterOptions[] = {"-a", "-i", "-m", "-s", "-?"};

// Whether text up to its end or its "=" is name, in any letter case.
bool IsNameOf(const char* text, const char* name) {
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != name[i]) {
            return false;
        }
    }
    return text[i] == '\0' || text[i] == '=';
}

// The long option whose name text is ("version", "port=x"), or nullptr.
const char* LongOptionNamed(const char* text) {
    for (const char* option : kLongOptions) {
        if (IsNameOf(text, option + 2)) {
            return option;
        }
    }
    return nullptr;
}

// How the refused argument arg should have been spelt, or nullptr when it points to no option:
// "-version" and "-v" are --version, "/s" is -s, "/version" is --version. Arguments that
// ParseCommandLine takes ("-h...", "-?..." as help, "/?") and a value of an option never come
// here. -V is refused with -v: neither letter is an option, and both commonly ask the version.
const char* RightSpelling(const char* arg) {
    if (arg[0] == '-') {
        if ((arg[1] == 'v' || arg[1] == 'V') && arg[2] == '\0') {
            return "--version";
        }
        return arg[1] != '-' && arg[1] != '\0' ? LongOptionNamed(arg + 1) : nullptr;
    }
    if (arg[0] != '/' || std::strcmp(arg, "/?") == 0) {
        return nullptr;
    }
    if (const char* option = LongOptionNamed(arg + 1)) {
        return option;
    }
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1])));
    for (const char* option : kLetterOptions) {
        if (letter == option[1] || (letter == 'h' && option[1] == '?')) {
            return option;
        }
    }
    // Any other "/" word: a Windows habit ("/x") or a path that is no option's value; ignored it
    // would let the run write.
    return "";
}

// Why an argument is refused, each text whole in RunRequest::refusedWhy.
constexpr char kNeedsPort[] =
    "needs the port, device path or USB serial number of a master after it";
constexpr char kNeedsRecordFile[] = "needs the path of the record file after it";
constexpr char kGivenTwice[] = "is given twice with different values; give it once";
static_assert(sizeof kNeedsPort <= kRefusedWhySize && sizeof kNeedsRecordFile <= kRefusedWhySize &&
              sizeof kGivenTwice <= kRefusedWhySize);

}  // namespace

// In "--port --port x" the second "--port" is the first one's value, and x stands alone: argv[i]
// is a value when an odd number of bare value options stand right before it.
bool IsOptionValue(int i, const char* const* argv) {
    int run = 0;
    for (int j = i - 1; j >= 1 && argv[j] != nullptr && IsBareValueOption(argv[j]); --j) {
        ++run;
    }
    return run % 2 == 1;
}

bool ParseCommandLine(int argc, const char* const* argv) {
    if (argc <= 1) {
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        // The value of --port (a device path, a serial number) is never read as an option.
        if (IsOptionValue(i, argv)) {
            continue;
        }
        // "/?" is how help is asked for on Windows; without a "-" it would otherwise be skipped
        // and the run would write the main firmware of an attached master at once.
        if (arg != nullptr && std::strcmp(arg, "/?") == 0) {
            PrintHelp();
            return true;
        }
        if (arg == nullptr || arg[0] != '-') {
            continue;
        }
        // A long option that narrows what may be written: it counts wherever it stands, and -s
        // (which clears the six flags) leaves it.
        if (std::strcmp(arg, "--no-downgrade") == 0) {
            updateOptions.noDowngrade = 1;
            continue;
        }
        // Only the second character counts (-all acts as -a). Asking for help must never flash a
        // device, so -h and exactly --help are taken as -? too: with the default flags a run that
        // did not recognise them would write the firmware of an attached master at once.
        const char option = arg[1];
        if (option == '?' || option == 'h' || std::strcmp(arg, "--help") == 0) {
            PrintHelp();
            return true;
        }
        switch (option) {
            case 'a':
                updateOptions.mainIfSame = 1;
                updateOptions.stackIfSame = 1;
                break;
            case 'i':
                updateOptions.stackIfSame = 1;
                break;
            case 'm':
                updateOptions.mainIfSame = 1;
                break;
            case 's':
                updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0, updateOptions.noDowngrade};
                break;
            default:
                break;  // other letters, or none, are ignored without a message
        }
    }
    return false;
}

RunRequest ParseRunRequest(int argc, const char* const* argv) {
    RunRequest request;
    const auto refuse = [&request](const char* arg, const char* why) {
        if (request.refused == nullptr) {
            request.refused = arg;
            CopyText(request.refusedWhy, why);
        }
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || IsOptionValue(i, argv) || std::strcmp(arg, "--help") == 0 ||
            (arg[0] == '-' && (arg[1] == 'h' || arg[1] == '?'))) {
            continue;
        }
        if (std::strncmp(arg, "--", 2) != 0) {
            // One dash before a long option's name, -v, -V, or a "/" spelling: without this the
            // word would be a letter option or ignored, and the run would write.
            if (const char* spelling = RightSpelling(arg)) {
                char why[kRefusedWhySize];
                if (spelling[0] != '\0') {
                    std::snprintf(why, sizeof why, "is refused (the option is spelt %s)", spelling);
                } else {
                    std::snprintf(why, sizeof why, "is refused (options begin with a dash, not /)");
                }
                refuse(arg, why);
            }
            continue;
        }
        const char* value = nullptr;
        const char* option = ValueOption(arg, i + 1 < argc ? argv[i + 1] : nullptr, &value);
        // Where a value option keeps its value in the request, and what the value names.
        const char** slot = nullptr;
        const char* needs = "";
        if (option != nullptr && std::strcmp(option, "--port") == 0) {
            slot = &request.port;
            needs = kNeedsPort;
        } else if (option != nullptr) {
            slot = &request.log;
            needs = kNeedsRecordFile;
            request.machineOutput = true;
        }
        if (std::strcmp(arg, "--version") == 0) {
            request.version = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            request.list = true;
        } else if (std::strcmp(arg, "--exit-code") == 0) {
            request.exitCode = true;
            request.machineOutput = true;
        } else if (std::strcmp(arg, "--json") == 0) {
            request.json = true;
            request.machineOutput = true;
        } else if (std::strcmp(arg, "--no-downgrade") == 0) {
            // ParseCommandLine applies it to the selection.
        } else if (slot != nullptr && (value == nullptr || value[0] == '\0')) {
            refuse(arg, needs);
        } else if (slot != nullptr && *slot != nullptr && std::strcmp(value, *slot) != 0) {
            // Two masters or two files named: which one was meant cannot be guessed.
            refuse(arg, kGivenTwice);
        } else if (slot != nullptr) {
            *slot = value;
        } else {
            // A misspelt request ("--versoin", "--lsit") must not fall through to a default run,
            // which writes the main firmware of an attached master.
            refuse(arg, "unknown option");
        }
    }
    return request;
}
