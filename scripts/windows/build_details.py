"""Prints the build-details.json (PEP 739) of the interpreter that runs it,
with paths relative to its base prefix: what a cross build needs to know of
an interpreter that it cannot run (CPython ships the file from 3.14 on)."""

import json
import sys
import sysconfig

v = sys.version_info
xy = f"{v.major}{v.minor}"
print(
    json.dumps(
        {
            "schema_version": "1.0",
            "base_prefix": ".",
            "base_interpreter": "python.exe",
            "platform": sysconfig.get_platform(),
            "language": {
                "version": f"{v.major}.{v.minor}",
                "version_info": {
                    "major": v.major,
                    "minor": v.minor,
                    "micro": v.micro,
                    "releaselevel": v.releaselevel,
                    "serial": v.serial,
                },
            },
            "implementation": {
                "name": sys.implementation.name,
                "cache_tag": sys.implementation.cache_tag,
            },
            "abi": {
                "flags": ["t"] if sysconfig.get_config_var("Py_GIL_DISABLED") else [],
                "extension_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
                "stable_abi_suffix": ".pyd",
            },
            "libpython": {
                "dynamic": f"python{xy}.dll",
                "dynamic_stableabi": "python3.dll",
                "link_extensions": True,
            },
            "c_api": {"headers": "include"},
        },
        indent=2,
    )
)
