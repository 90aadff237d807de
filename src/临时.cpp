// textcopy SOURCE DESTINATION: copies a text file and narrates each stage
// in Chinese on standard output.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

int main(int argc, char *argv[])
{
    // The messages are GBK bytes spelled out one by one, so that no source or
    // execution character set of any compiler can change them.
    static const char open_failed[] = // 文件打开失败，请重试！
        "\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD6\xD8\xCA\xD4\xA3\xA1";
    static const char opened[] = // 文件打开成功
        "\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB3\xC9\xB9\xA6";
    static const char written[] = // 文件写入成功 and a line feed
        "\xCE\xC4\xBC\xFE\xD0\xB4\xC8\xEB\xB3\xC9\xB9\xA6\n";
    static const char write_failed[] = // 文件写入失败，请重试！
        "\xCE\xC4\xBC\xFE\xD0\xB4\xC8\xEB\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD6\xD8\xCA\xD4\xA3\xA1";
    static const char original_caption[] = // 原文件的内容为：
        "\xD4\xAD\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xCE\xAA\xA3\xBA";
    static const char original_caption_end[] = "\n\n\n";
    static const char new_caption[] = // 新文件的内容为：
        "\xD0\xC2\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xCE\xAA\xA3\xBA";
    static const char new_caption_end[] = "\n";
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

    if (argc < 3) {
        puts(open_failed);
        return 0;
    }

    // Opened for update so that a file we could not write is refused, though
    // nothing is ever written to it.
    FILE *source = fopen(argv[1], "r+");
    if (source == nullptr) {
        puts(open_failed);
        return 0;
    }
    // Standard output that lands in the source (">> SOURCE", or a closed
    // descriptor the source has taken over) would change it with every
    // message, so the run ends without a word.
    if (same_file(stdout, source)) {
        fclose(source);
        return 0;
    }

    // The size is a 64-bit position everywhere; long is 32 bits on Windows.
    // A source that cannot seek (a pipe, a terminal) has no size and is refused.
#ifdef _WIN32
    long long length = _fseeki64(source, 0, SEEK_END) == 0 ? _ftelli64(source) : -1;
#else
    long long length = fseek(source, 0, SEEK_END) == 0 ? ftell(source) : -1;
#endif
    // Room for the content and the NUL that ends it; a size past what memory
    // can address is refused before it could wrap into a small buffer.
    char *buffer = length >= 0 && static_cast<unsigned long long>(length) < SIZE_MAX
        ? static_cast<char *>(malloc(static_cast<size_t>(length) + 1))
        : nullptr;
    if (buffer == nullptr) {
        puts(open_failed);
        fclose(source);
        return 0;
    }
    size_t capacity = static_cast<size_t>(length);
    puts(opened);

    // Each read ends the content at its first NUL, found once and then used
    // for every print and write of that content.
    rewind(source);
    size_t got = fread(buffer, 1, capacity, source);
    buffer[got] = '\0';
    size_t text = strlen(buffer);
    fwrite(buffer, 1, text, stdout);
    putchar('\n');

    // Opening for append creates a missing destination but empties nothing,
    // so a destination that is the source under another name is refused
    // before it is lost. It must also rewind, to be read back: a pipe or a
    // terminal would swallow the content or wait for input.
    FILE *destination = fopen(argv[2], "a+");
    if (destination != nullptr && same_file(destination, source)) {
        fclose(destination);
        destination = nullptr;
    }
    if (destination != nullptr)
        destination = freopen(argv[2], "w+", destination);
    if (destination != nullptr && fseek(destination, 0, SEEK_SET) != 0) {
        fclose(destination);
        destination = nullptr;
    }
    if (destination == nullptr) {
        puts(open_failed);
        fclose(source);
        free(buffer);
        return 0;
    }

    // The content must be on the file, not in a stream buffer, before the
    // user is told it was written.
    if (fwrite(buffer, 1, text, destination) != text || fflush(destination) != 0) {
        puts(write_failed);
        fclose(source);
        fclose(destination);
        free(buffer);
        return 0;
    }
    puts(written);

    // The source is read again from the file and the destination read back,
    // so the user sees what each holds now. The captions are written apart
    // from the content because printf counts its output in an int.
    rewind(source);
    rewind(destination);
    got = fread(buffer, 1, capacity, source);
    buffer[got] = '\0';
    text = strlen(buffer);
    fputs(original_caption, stdout);
    fwrite(buffer, 1, text, stdout);
    fputs(original_caption_end, stdout);

    got = fread(buffer, 1, capacity, destination);
    buffer[got] = '\0';
    text = strlen(buffer);
    fputs(new_caption, stdout);
    fwrite(buffer, 1, text, stdout);
    fputs(new_caption_end, stdout);

    puts(copied);
    fclose(source);
    fclose(destination);
    free(buffer);
    return 0;
}
