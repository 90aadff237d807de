// textcopy SOURCE DESTINATION: copies a text file and narrates each stage
// in Chinese on standard output.

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

int main(int argc, char *argv[])
{
    // The messages are GBK bytes spelled out one by one, so that no source or
    // execution character set of any compiler can change them.
    static const char open_failed[] = // 文件打开失败，请重试！
        "\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD6\xD8\xCA\xD4\xA3\xA1";
    static const char opened[] = // 文件打开成功
        "\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB3\xC9\xB9\xA6";
    static const char read_failed[] = // 文件读取失败，请重试！
        "\xCE\xC4\xBC\xFE\xB6\xC1\xC8\xA1\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD6\xD8\xCA\xD4\xA3\xA1";
    static const char written[] = // 文件写入成功 and a line feed
        "\xCE\xC4\xBC\xFE\xD0\xB4\xC8\xEB\xB3\xC9\xB9\xA6\n";
    static const char write_failed[] = // 文件写入失败，请重试！
        "\xCE\xC4\xBC\xFE\xD0\xB4\xC8\xEB\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD6\xD8\xCA\xD4\xA3\xA1";
    static const char original_caption[] = // 原文件的内容为：
        "\xD4\xAD\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xCE\xAA\xA3\xBA";
    static const char after_original[] = "\n\n\n";
    static const char new_caption[] = // 新文件的内容为：
        "\xD0\xC2\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xCE\xAA\xA3\xBA";
    static const char after_new[] = "\n";
    static const char copied[] = // 恭喜您，文件复制成功！
        "\xB9\xA7\xCF\xB2\xC4\xFA\xA3\xAC\xCE\xC4\xBC\xFE\xB8\xB4\xD6\xC6\xB3\xC9\xB9\xA6\xA3\xA1";

    // Two open streams on one file, whatever paths or descriptors led there.
    // Standard C cannot tell, so each platform is asked for its file identity.
    auto same_file = [](FILE *a, FILE *b) {
#ifdef _WIN32
        BY_HANDLE_FILE_INFORMATION x, y;
        return GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(a))), &x)
            && GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(b))), &y)
            && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber
            && x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
#else
        struct stat x, y;
        return fstat(fileno(a), &x) == 0 && fstat(fileno(b), &y) == 0
            && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
#endif
    };

    // Windows hands main its arguments in the ANSI code page and fits what
    // that page lacks to a look-alike: "ĉ.txt" arrives as "c.txt", a
    // full-width backslash as a real one. Such a name leads to another file,
    // so an argument is used only if it was typed in characters the page
    // holds. A wildcard the runtime expanded is judged by its pattern.
    auto typed_as_given = [](int index) {
#ifdef _WIN32
        int count = 0;
        wchar_t **typed = CommandLineToArgvW(GetCommandLineW(), &count);
        BOOL fitted = typed == nullptr || count < 2;
        // A UTF-8 code page holds every character, and takes no such flag.
        if (!fitted && GetACP() != CP_UTF8)
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, typed[index < count ? index : count - 1], -1,
                                nullptr, 0, nullptr, &fitted);
        LocalFree(typed);
        return !fitted;
#else
        (void)index;
        return true;
#endif
    };

    // Both files are opened in binary mode and only then switched to text
    // mode: opening a text file for update, the Windows runtime cuts a
    // Ctrl-Z from its end, and neither file may change before it is checked.
    auto text_mode = [](FILE *file) {
#ifdef _WIN32
        if (file != nullptr)
            _setmode(_fileno(file), _O_TEXT);
#endif
        return file;
    };

    // Empties an open destination, and says whether it is now an empty file
    // that can be rewound and read back, as a pipe or a terminal cannot.
    auto emptied = [](FILE *file) {
#ifdef _WIN32
        int truncated = _chsize(_fileno(file), 0);
#else
        int truncated = ftruncate(fileno(file), 0);
#endif
        // Devices such as /dev/null cannot be truncated and need not be:
        // what counts is that the file now ends where it begins.
        (void)truncated;
        return fseek(file, 0, SEEK_END) == 0 && ftell(file) == 0;
    };

    // The one buffer holds the content and the NUL that ends it, and is
    // filled three times over. Where the kernel offers 2 MiB pages, a large
    // buffer is aligned to them and asks for them, so that filling it takes
    // one page fault per 2 MiB instead of per 4 KiB; a hint the kernel turns
    // down changes nothing. A size past what memory can address is refused
    // before it could wrap into a small buffer.
    auto allocate = [](unsigned long long size) -> char * {
        if (size >= SIZE_MAX)
            return nullptr;
#ifdef MADV_HUGEPAGE
        const size_t huge_page = size_t{2} << 20;
        if (size >= huge_page / 2 && size < SIZE_MAX - huge_page) {
            size_t whole_pages = (static_cast<size_t>(size) + huge_page) & ~(huge_page - 1);
            void *block = aligned_alloc(huge_page, whole_pages);
            if (block != nullptr)
                madvise(block, whole_pages, MADV_HUGEPAGE);
            return static_cast<char *>(block);
        }
#endif
        return static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    };

#ifndef _WIN32
    // A reader that goes away, or a limit on file size, must fail the write
    // it meets, not end the run: the copy is still to be made or reported.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
#endif

    FILE *source = nullptr;
    FILE *destination = nullptr;
    char *buffer = nullptr;
    // Every end of the run: its last message, then everything released.
    auto finish = [&](const char *message) {
        if (message != nullptr)
            puts(message);
        if (source != nullptr)
            fclose(source);
        if (destination != nullptr)
            fclose(destination);
        free(buffer);
        return 0;
    };

    // Opened for update so that a file we could not write is refused, though
    // nothing is ever written to it. Unbuffered, so that the second read
    // comes from the file, not from what the stream kept of the first.
    if (argc < 3)
        return finish(open_failed);
    source = typed_as_given(1) ? text_mode(fopen(argv[1], "r+b")) : nullptr;
    if (source == nullptr)
        return finish(open_failed);
    setvbuf(source, nullptr, _IONBF, 0);
    // Standard output that lands in the source (">> SOURCE", or a closed
    // descriptor the source has taken over) would change it with every
    // message, so the run ends without a word.
    if (same_file(stdout, source))
        return finish(nullptr);

    // The size is a 64-bit position everywhere; long is 32 bits on Windows.
    // A source that cannot seek (a pipe, a terminal) has no size and is refused.
#ifdef _WIN32
    long long length = _fseeki64(source, 0, SEEK_END) == 0 ? _ftelli64(source) : -1;
#else
    long long length = fseek(source, 0, SEEK_END) == 0 ? ftell(source) : -1;
#endif
    if (length >= 0)
        buffer = allocate(static_cast<unsigned long long>(length));
    if (buffer == nullptr)
        return finish(open_failed);
    size_t capacity = static_cast<size_t>(length);
    puts(opened);

    // Every read fills the one buffer, at most to the size measured, and
    // ends what it delivered with a NUL. A read that failed is reported,
    // never shown or copied as if it were the file.
    auto read_from = [&](FILE *file) {
        size_t got = fread(buffer, 1, capacity, file);
        buffer[got] = '\0';
        return ferror(file) == 0;
    };

    // The content ends at its first NUL, found once per read and then used
    // for every print and write of that content.
    rewind(source);
    if (!read_from(source))
        return finish(read_failed);
    size_t content_length = strlen(buffer);
    fwrite(buffer, 1, content_length, stdout);
    putchar('\n');

    // The destination is opened once, without emptying it, and checked: not
    // the source under any name, not where standard output goes, and a file
    // that can be rewound to be read back. Only then is that same open file
    // emptied, so that a name swapped meanwhile cannot lead elsewhere.
    destination = typed_as_given(2) ? text_mode(fopen(argv[2], "a+b")) : nullptr;
    if (destination != nullptr
        && (same_file(destination, source) || same_file(destination, stdout) || !emptied(destination))) {
        fclose(destination);
        destination = nullptr;
    }
    if (destination == nullptr)
        return finish(open_failed);

    // The content must be on the file, not in a stream buffer, before the
    // user is told it was written.
    if (fwrite(buffer, 1, content_length, destination) != content_length || fflush(destination) != 0)
        return finish(write_failed);
    puts(written);

    // The source is read again from the file and the destination read back,
    // so the user sees what each holds now. The captions are written apart
    // from the content because printf counts its output in an int.
    rewind(source);
    rewind(destination);
    if (!read_from(source))
        return finish(read_failed);
    content_length = strlen(buffer);
    fputs(original_caption, stdout);
    fwrite(buffer, 1, content_length, stdout);
    fputs(after_original, stdout);

    if (!read_from(destination))
        return finish(read_failed);
    content_length = strlen(buffer);
    fputs(new_caption, stdout);
    fwrite(buffer, 1, content_length, stdout);
    fputs(after_new, stdout);

    // A file system may report a failed write only when the file is closed,
    // so the copy is congratulated only once the destination closed well.
    fclose(source);
    source = nullptr;
    int closed = fclose(destination);
    destination = nullptr;
    return finish(closed == 0 ? copied : write_failed);
}
