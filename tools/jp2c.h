// jp2c: the command-line twin of the window's encoder and decoder.
#ifndef TOOLS_JP2C_H
#define TOOLS_JP2C_H

// Each sub-command gets the arguments after its name and returns the exit
// status (0 success, 1 failure with a message on stderr).
int jp2c_encode(int argc, char** argv);
int jp2c_decode(int argc, char** argv);

// The arguments "INPUT OUTPUT [--options TEXT]" of the codec sub-command cmd
// ("encode" or "decode"); *options stays "" without --options.  false after
// a message on stderr.
bool jp2c_codec_args(const char* cmd, int argc, char** argv, const char** input,
                     const char** output, const char** options);

#endif
