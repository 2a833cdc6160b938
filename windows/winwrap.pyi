# Types of windows.winwrap.
from typing import Any, Dict

# An OSError whose winerror is the Windows error code.
class WindowsError(OSError):
    winerror: int

# The exported C functions, for windows.volumes.
__pyx_capi__: Dict[str, Any]
