// jp2c: the command-line twin of the window's encoder and decoder.
#ifndef TOOLS_JP2C_H
#define TOOLS_JP2C_H

#include <vector>

// Exit statuses.
constexpr int JP2C_OK = 0;
constexpr int JP2C_FAILED = 1;
constexpr int JP2C_INCOMPLETE = 3;  // decode: the picture as far as the stream went

// Each command gets the arguments after its name and returns the exit
// status (0 success, 1 failure with a message on stderr).  The codec
// commands (encode, decode, info) are free of Qt; compare and the photo
// formats are the program's Qt part (jp2c_photo.h).
int jp2c_encode(int argc, char** argv);
int jp2c_decode(int argc, char** argv);
int jp2c_info(int argc, char** argv);

// The arguments of a command: the file names in order and the values of
// the options it allows.
struct jp2c_args_t {
    std::vector<const char*> files;
    const char* options = nullptr;  // --options TEXT
    const char* quality = nullptr;  // --quality Q
    const char* ratio = nullptr;    // --ratio N
    const char* psnr = nullptr;     // --psnr DB
    bool markers = false;           // --markers
    bool ht = false;                // --ht
};

// Splits the arguments of command cmd.  allowed lists the options the
// command takes ("--options", "--quality", ...), ended by nullptr; nfiles
// is the number of file names it needs.  false after a message naming the
// unknown option, missing value or wrong number of files.
bool jp2c_parse(const char* cmd, int argc, char** argv, const char* const* allowed, int nfiles,
                jp2c_args_t* args);

// The arguments "INPUT OUTPUT [--options TEXT]" of the codec command cmd
// ("encode" or "decode"); *options stays "" without --options.  false after
// a message on stderr.
bool jp2c_codec_args(const char* cmd, int argc, char** argv, const char** input,
                     const char** output, const char** options);

#endif
