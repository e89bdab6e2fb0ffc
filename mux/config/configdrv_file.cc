// File driver: lines end in LF or CR LF (a lone CR is an ordinary byte), and
// a line that starts with a blank continues a value list around a comma.
#include "config/config.h"
#include "config/configdrv_parse.h"

const ConfigSyntax configdrv_file_syntax = {
    false,
    false,
    "config_readdriver_fileinit",
    "_configdrv_file_fetch",
    "_configdrv_file_readoption",
};

namespace {

int _configdrv_file_fetch(ConfigDriver *driver, ConfigSetProc setproc, void *setarg)
{
    return configdrv_fetch(&configdrv_file_syntax, driver, setproc, setarg);
}

} // namespace

ConfigDriver *config_readdriver_fileinit(const char *path)
{
    return configdrv_init(&configdrv_file_syntax, path, _configdrv_file_fetch);
}

int configdrvr_file_getkey(const char *path, const char *key, char **value)
{
    return configdrv_getkey(config_readdriver_fileinit(path), key, value);
}
