# Types of windows.volumes. The records it returns are built by the
# application's own common.volume_entry.VolumeEntry, which need not be typed:
# they are described here by the fields the module fills.
import logging as _logging
import re as _re
import types
from typing import Any, Dict, List, Optional, Protocol, SupportsInt, Tuple, Union

_Text = Union[str, bytes]
# Label, serial number, maximum component length, file system flags, file
# system name.
_VolumeInformation = Tuple[str, int, int, int, str]

class _StatResult(Protocol):
    @property
    def st_dev(self) -> int: ...

class _VolumeEntry(Protocol):
    volume: str
    mountpoint: str
    device_file: str
    device_number: int
    uuid: Optional[str]
    model: None
    device_type: Any
    label: str
    filesystem: str
    size: int

class _VolumeInfo:
    def __init__(self) -> None: ...
    def FindVolumeID(self, stat_result: _StatResult) -> str: ...
    def AllVolumeEntries(self, force_update: bool = ...) -> Dict[str, _VolumeEntry]: ...
    def GetVolumeEntryForVolumeID(self, volume_id: str) -> Optional[_VolumeEntry]: ...
    def GetVolumeEntryForDeviceNumber(self, st_dev: int) -> Optional[_VolumeEntry]: ...
    def _PopulateVolumeTable(self, current_volume_ids: Any) -> Any: ...

logging: types.ModuleType
re: types.ModuleType
utils: types.ModuleType
volume_entry: types.ModuleType
service: Any
platform_utils: types.ModuleType

LOGGER: _logging.Logger
DRIVE_TYPE_MAP: Dict[int, Any]
VOLUME_NAME_GUID_MATCHER: _re.Pattern[str]

# What the application's service.Singleton returns for the class: called, it
# gives the one instance.
VolumeInfo: Any

def _ListVolumeNames() -> List[str]: ...
def GetVolumeInformationByHandle(handle: SupportsInt, /) -> _VolumeInformation: ...
def GetVolumeInformation(path: Optional[_Text], /) -> _VolumeInformation: ...
def _GetVolumePathNamesForVolumeName(guid_path: Optional[_Text], /) -> List[str]: ...
def FindVolumeID(stat_result: _StatResult, /) -> str: ...
def _VolumeIDFromSerialNumber(serial_number: int, /) -> str: ...
def IsFAT(serial_number: int, handle: SupportsInt) -> bool: ...
