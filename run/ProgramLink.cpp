#include "ProgramLink.h"

#include "FileDownCom.h"

namespace updater::run {

std::unique_ptr<DeviceLink> makeProgramLink()
{
    return std::make_unique<CFileDownCom>();
}

} // namespace updater::run
