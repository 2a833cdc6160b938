// The table of the query functions registered when the module is created.
#include "volume_queries/volume_queries.h"

namespace volumes {

PyMethodDef kQueryFunctions[] = {
    {"GetVolumeInformationByHandle", GetVolumeInformationByHandleFunction, METH_O,
     kGetVolumeInformationByHandleDoc},
    {"GetVolumeInformation", GetVolumeInformationFunction, METH_O, kGetVolumeInformationDoc},
    {"_GetVolumePathNamesForVolumeName", GetVolumePathNamesFunction, METH_O,
     kGetVolumePathNamesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace volumes
