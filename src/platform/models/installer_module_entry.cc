// The entry of the installer module (installer_module.h); compiled into the module alone.
#include "platform/models/installer_module.h"
#include "platform/models/model_installer.h"

extern "C" {
__attribute__((visibility("default"))) extern const quillmor_speech::InstallerModuleEntry
    quillmorInstallerModule;
const quillmor_speech::InstallerModuleEntry quillmorInstallerModule{
    &quillmor_speech::installModel};
}
