/* The least work the copy's design allows: one buffer for the whole source,
 * three reads into it (the source, the source again, the destination read
 * back), one write of the destination and three writes of the content to
 * standard output, all as raw system calls with no stdio in between.
 *
 * floor --scan SOURCE DESTINATION also ends each read's content at its first
 * NUL, as the program must: one scan per read, and nothing else. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static size_t fill(int fd, char *buffer, size_t size)
{
    size_t got = 0;
    ssize_t n;
    while (got < size && (n = read(fd, buffer + got, size - got)) > 0)
        got += (size_t)n;
    return got;
}

static int scan;

/* The content of a read ends at its first NUL. */
static size_t content(const char *buffer, size_t got)
{
    const char *nul = scan ? memchr(buffer, 0, got) : NULL;
    return nul ? (size_t)(nul - buffer) : got;
}

static void put(int fd, const char *buffer, size_t size)
{
    ssize_t n;
    while (size > 0 && (n = write(fd, buffer, size)) > 0) {
        buffer += n;
        size -= (size_t)n;
    }
}

int main(int argc, char **argv)
{
    struct stat st;
    int source, destination;
    char *buffer;
    size_t size, got;

    if (argc > 1 && strcmp(argv[1], "--scan") == 0) {
        scan = 1;
        argv++;
        argc--;
    }
    if (argc < 3 || (source = open(argv[1], O_RDONLY)) < 0 || fstat(source, &st) != 0)
        return 1;
    size = (size_t)st.st_size;
    if ((buffer = malloc(size + 1)) == NULL)
        return 1;
    got = content(buffer, fill(source, buffer, size));
    put(1, buffer, got);
    if ((destination = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0644)) < 0)
        return 1;
    put(destination, buffer, got);
    lseek(source, 0, SEEK_SET);
    lseek(destination, 0, SEEK_SET);
    put(1, buffer, content(buffer, fill(source, buffer, size)));
    put(1, buffer, content(buffer, fill(destination, buffer, size)));
    close(source);
    close(destination);
    free(buffer);
    return 0;
}
