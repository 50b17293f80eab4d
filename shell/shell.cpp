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

const char* prompt_text() {
    const env_entry* prompt = env_find("PROMPT");
    return prompt != nullptr ? prompt->value : kDefaultPrompt;
}

}  // namespace

void print_version() {
    const env_entry* ver = env_find("DIAGVER");
    if (ver != nullptr)
        std::printf("version %s\n", ver->value);
    else
        std::printf("%s\n", FLINT_VERSION);
}

void shell_loop() {
    env_load();
    while (shell_quit == 0) {
        std::printf("%s> ", prompt_text());
        // The prompt has no line end: flush it so a person or a driving
        // script sees it before the program waits for the line.
        std::fflush(stdout);
        if (std::fgets(shell_line, SHELL_LINE_BYTES, stdin) == nullptr) {
            std::printf("Quit\n");
            return;
        }
        size_t len = std::strlen(shell_line);
        if (len > 0 && shell_line[len - 1] == '\n') {
            shell_line[len - 1] = '\0';
        } else if (len == SHELL_LINE_BYTES - 1) {
            // A line of exactly the maximum length: its line end belongs to
            // it, not to an empty line of its own that would fail as unknown.
            int next = std::fgetc(stdin);
            if (next != '\n' && next != EOF) std::ungetc(next, stdin);
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
        std::printf("Missing parameter!\n");
        return 1;
    }
    char command[CMD_LINE_BYTES] = {};
    size_t used = 0;
    for (int32_t i = 1; i < argc; ++i) {
        size_t len = std::strlen(argv[i]);
        if (used + len + 1 >= sizeof command) {
            con_err("shell: the command is longer than %zu characters, not run\n", sizeof command - 1);
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
    std::printf("Quiting...\n");
    return 0;
}
