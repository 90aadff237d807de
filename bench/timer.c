/* Times commands in paired runs: timer RUNS WARMUPS < COMMANDS
 *
 * COMMANDS holds one command a line, its name and then its words, separated
 * by tabs. Each run starts every command once, in an order shuffled afresh,
 * with standard output to /dev/null, so that a machine that drifts slows
 * them all alike and no command always follows the same one. Prints a line
 * a timed run of each command: its name, its wall time in seconds, and its
 * peak resident size in KiB. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

enum { most_commands = 16, most_words = 16 };

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    char line[4096];
    char *words[most_commands][most_words + 1];
    int commands = 0;
    posix_spawn_file_actions_t to_null;

    if (argc != 3)
        return 2;
    int runs = atoi(argv[1]), warmups = atoi(argv[2]);
    while (commands < most_commands && fgets(line, sizeof line, stdin)) {
        int n = 0;
        line[strcspn(line, "\n")] = '\0';
        for (char *word = strtok(strdup(line), "\t"); word && n < most_words; word = strtok(NULL, "\t"))
            words[commands][n++] = word;
        words[commands][n] = NULL;
        if (n > 1)
            commands++;
    }
    posix_spawn_file_actions_init(&to_null);
    posix_spawn_file_actions_addopen(&to_null, 1, "/dev/null", O_WRONLY, 0);
    int order[most_commands];
    for (int c = 0; c < commands; c++)
        order[c] = c;
    srand(20261211);
    for (int run = 0; run < warmups + runs; run++) {
        for (int i = commands - 1; i > 0; i--) {
            int j = rand() % (i + 1), swap = order[i];
            order[i] = order[j];
            order[j] = swap;
        }
        for (int i = 0; i < commands; i++) {
            int c = order[i];
            struct rusage usage;
            int status;
            pid_t pid;
            double start = now();
            if (posix_spawnp(&pid, words[c][1], &to_null, NULL, &words[c][1], environ) != 0)
                return 1;
            if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                fprintf(stderr, "timer: %s failed\n", words[c][0]);
                return 1;
            }
            if (run >= warmups)
                printf("%s\t%.9f\t%ld\n", words[c][0], now() - start, usage.ru_maxrss);
        }
    }
    return 0;
}
