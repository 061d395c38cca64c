// The option strings that jp2c hands to the codec ("--options"), checked
// before anything is read or written: every item must be NAME or
// NAME=VALUE with a name the encoder or decoder knows and a value of the
// option's kind.  The codec itself only warns about such items and goes on
// without them; jp2c refuses them.
#ifndef TOOLS_JP2C_OPTIONS_H
#define TOOLS_JP2C_OPTIONS_H

#include <string>

enum jp2c_optset { JP2C_ENCODER, JP2C_DECODER };

// 0 when every item of options is sound for the encoder or decoder;
// otherwise -1 after one message "jp2c CMD: --options: ..." naming the item.
int jp2c_checkoptions(const char* cmd, jp2c_optset set, const char* options);

// True when options has an item named name.
bool jp2c_hasoption(const char* options, const char* name);

// The options of the set for the usage text, one line per option:
// "  rate=R          target size as a fraction of the raw size".
std::string jp2c_optionhelp(jp2c_optset set);

#endif
