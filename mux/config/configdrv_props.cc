// Properties-file driver: the syntax of the multiplexor's configuration
// file.  Any CR or LF ends a line; "\" just before the line end continues a
// value list around a comma.
#include "config/config.h"
#include "config/configdrv_parse.h"

const ConfigSyntax configdrv_props_syntax = {
    true,
    true,
    "config_readdriver_propsinit",
    "_configdrv_props_fetch",
    "_configdrv_props_readoption",
};

namespace {

int _configdrv_props_fetch(ConfigDriver *driver, ConfigSetProc setproc, void *setarg)
{
    return configdrv_fetch(&configdrv_props_syntax, driver, setproc, setarg);
}

} // namespace

ConfigDriver *config_readdriver_propsinit(const char *path)
{
    return configdrv_init(&configdrv_props_syntax, path, _configdrv_props_fetch);
}

int configdrvr_props_getkey(const char *path, const char *key, char **value)
{
    return configdrv_getkey(config_readdriver_propsinit(path), key, value);
}
