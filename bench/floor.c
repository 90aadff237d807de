/* The least work the copy's design allows: one buffer for the whole source,
 * three reads into it (the source, the source again, the destination read
 * back), one write of the destination and three writes of the content to
 * standard output, all as raw system calls with no stdio in between.
 *
 * floor --huge SOURCE DESTINATION also does what the program must do beyond
 * that, in the way it does it: the buffer aligned to 2 MiB pages and asking
 * for them, and each read's content ended at its first NUL (one scan per
 * read). It is the limit of the design on this machine. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static int huge;

static size_t fill(int fd, char *buffer, size_t size)
{
    size_t got = 0;
    ssize_t n;
    while (got < size && (n = read(fd, buffer + got, size - got)) > 0)
        got += (size_t)n;
    return got;
}

/* The content of a read ends at its first NUL. */
static size_t content(const char *buffer, size_t got)
{
    const char *nul = huge ? memchr(buffer, 0, got) : NULL;
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

static char *allocate(size_t size)
{
    const size_t huge_page = (size_t)2 << 20;
    size_t whole_pages = (size + huge_page) & ~(huge_page - 1);
    char *block;
    if (!huge || size < huge_page / 2)
        return malloc(size + 1);
    if ((block = aligned_alloc(huge_page, whole_pages)) != NULL)
        madvise(block, whole_pages, MADV_HUGEPAGE);
    return block;
}

int main(int argc, char **argv)
{
    struct stat st;
    int source, destination;
    char *buffer;
    size_t size, got;

    if (argc > 1 && strcmp(argv[1], "--huge") == 0) {
        huge = 1;
        argv++;
        argc--;
    }
    if (argc < 3 || (source = open(argv[1], O_RDONLY)) < 0 || fstat(source, &st) != 0)
        return 1;
    size = (size_t)st.st_size;
    if ((buffer = allocate(size)) == NULL)
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
