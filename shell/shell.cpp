// The interactive shell: prompt, read, execute, until `exit` or end of input.
#include "shell/shell.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "shell/cmd.h"
#include "platform/console.h"
#include "link/env.h"

int32_t shell_quit = 0;

namespace {

const char* const kDefaultPrompt = "FLINT";

char shell_line[SHELL_LINE_BYTES];

const char* const MSG_LINE_TOO_LONG =
    "the line is longer than %u characters and was not run; split it or shorten it\n";
const char* const MSG_VERSION_NAMED = "version %s\n";
const char* const MSG_VERSION = "%s\n";
const char* const MSG_PROMPT = "%s> ";
const char* const MSG_QUIT = "Quit\n";
const char* const MSG_MISSING_PARAMETER = "Missing parameter!\n";
const char* const MSG_COMMAND_TOO_LONG = "shell: the command is longer than %zu characters, not run\n";
const char* const MSG_QUITING = "Quiting...\n";
const char* const VERSION_VARIABLE = "DIAGVER";
constexpr int32_t SHELL_LINE_REFUSED = -1;

enum class line_status { read, end, too_long };

// Takes the rest of an over-long line, up to and including its line end.
void skip_rest_of_line(FILE* in) {
    for (int c = std::fgetc(in); c != '\n' && c != EOF; c = std::fgetc(in)) {
    }
}

// Reads one line into `line` (SHELL_LINE_BYTES) without its line end: "\n"
// or "\r\n", as the Windows C runtime's console input treats both. A line
// that does not fit is taken whole and reported as too long.
line_status read_line(char* line, FILE* in) {
    if (std::fgets(line, SHELL_LINE_BYTES, in) == nullptr) return line_status::end;
    size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
        line[--len] = '\0';
    } else if (len == SHELL_LINE_BYTES - 1) {
        // The buffer is full: only a line end right behind keeps the line whole.
        int next = std::fgetc(in);
        if (next == '\r') {
            next = std::fgetc(in);
            if (next != '\n') {
                if (next != EOF) skip_rest_of_line(in);
                return line_status::too_long;
            }
        } else if (next != '\n' && next != EOF) {
            skip_rest_of_line(in);
            return line_status::too_long;
        }
    }
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    return line_status::read;
}

const char* prompt_text() {
    const env_entry* prompt = env_find("PROMPT");
    return prompt != nullptr ? prompt->value : kDefaultPrompt;
}

}  // namespace

void print_version() {
    const env_entry* ver = env_find(VERSION_VARIABLE);
    if (ver != nullptr)
        std::printf(MSG_VERSION_NAMED, ver->value);
    else
        std::printf(MSG_VERSION, FLINT_VERSION);
}

void shell_loop() {
    env_load();
    while (shell_quit == 0) {
        std::printf(MSG_PROMPT, prompt_text());
        // The prompt has no line end: flush it so a person or a driving
        // script sees it before the program waits for the line.
        std::fflush(stdout);
        const line_status status = read_line(shell_line, stdin);
        if (status == line_status::end) {
            std::printf("%s", MSG_QUIT);
            return;
        }
        if (status == line_status::too_long) {
            // A cut line could run a different command than the one typed.
            con_err(MSG_LINE_TOO_LONG, SHELL_LINE_BYTES - 1);
            cmd_report(SHELL_LINE_REFUSED);
            continue;
        }
        cmd_exec_line(shell_line);
    }
}

int32_t do_ver(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    print_version();
    return 0;
}

int32_t do_help(int32_t argc, char** argv) {
    if (argc == 2) return cmd_print_usage(argv[1]);
    cmd_print_names();
    return 0;
}

int32_t do_shell(int32_t argc, char** argv) {
    if (argc < 2) {
        std::printf("%s", MSG_MISSING_PARAMETER);
        return 1;
    }
    char command[CMD_LINE_BYTES] = {};
    size_t used = 0;
    for (int32_t i = 1; i < argc; ++i) {
        size_t len = std::strlen(argv[i]);
        if (used + len + 1 >= sizeof command) {
            con_err(MSG_COMMAND_TOO_LONG, sizeof command - 1);
            return 1;
        }
        std::memcpy(command + used, argv[i], len);
        used += len;
        command[used++] = ' ';
    }
    std::fflush(stdout);
    plat_system(command);
    return 0;
}

int32_t do_exit(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    shell_quit = 1;
    std::printf("%s", MSG_QUITING);
    return 0;
}
