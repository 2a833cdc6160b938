"""Prints the frozen modules of PCbuild/_freeze_module.vcxproj, one
"MODULE SOURCE" line each (SOURCE relative to the source tree), in the
order the project freezes them: the modules listed for freezing, then
getpath, which getpath.c includes and which is frozen but not deep-frozen.
Lines for deep-freezing follow "--" as "MODULE" only, in the order of the
project's deepfreeze rule.
"""
import re
import sys

project = open(sys.argv[1], encoding="utf-8").read()
frozen = re.findall(r'<(None|GetPath) Include="\.\.\\([^"]+)">\s*<ModName>([^<]+)</ModName>', project)
for kind, source, module in frozen:
    print(module, source.replace("\\", "/"))
rule = project[project.index("BEGIN deepfreeze rule"):project.index("END deepfreeze rule")]
print("--")
for module in re.findall(r'frozen_modules\\[^"]+\.h:([\w.]+)"', rule):
    print(module)
