// Command line: the six selection flags and the help text.
#include <cstdio>
#include <cstring>

#include "app/app.h"

UpdateOptions updateOptions;

void PrintHelp() {
    std::printf("Norvik IO-Link USB Master - SE Firmware Updater\n");
    std::printf("Command Line Help:\n");
    std::printf("-? displays the help\n");
    std::printf("-a (all) actualize firmware instead of ignoring the same revision\n");
    std::printf("-i (IO-Link) actualize IO-Link stack if separate from main\n");
    std::printf("-m (Main) actualize main firmware\n");
    std::printf("-s Show only possible updates\n");
}

bool ParseCommandLine(int argc, const char* const* argv) {
    if (argc <= 1) {
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        // "/?" is how help is asked for on Windows; without a "-" it would otherwise be skipped
        // and the run would write the main firmware of an attached master at once.
        if (arg != nullptr && std::strcmp(arg, "/?") == 0) {
            PrintHelp();
            return true;
        }
        if (arg == nullptr || arg[0] != '-') {
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
                updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};
                break;
            default:
                break;  // other letters, or none, are ignored without a message
        }
    }
    return false;
}

RunRequest ParseRunRequest(int argc, const char* const* argv) {
    RunRequest request;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || std::strncmp(arg, "--", 2) != 0 || std::strcmp(arg, "--help") == 0) {
            continue;
        }
        if (std::strcmp(arg, "--version") == 0) {
            request.version = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            request.list = true;
        } else if (std::strcmp(arg, "--exit-code") == 0) {
            request.exitCode = true;
            request.machineOutput = true;
        } else if (request.refused == nullptr) {
            // A misspelt request ("--versoin", "--lsit") must not fall through to a default run,
            // which writes the main firmware of an attached master.
            request.refused = arg;
        }
    }
    return request;
}
