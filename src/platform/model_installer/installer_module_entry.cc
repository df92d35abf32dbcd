// The entry of the installer module (platform/models/installer_module.h); compiled into the
// module alone.
#include "platform/base/program_module.h"
#include "platform/model_installer/model_installer.h"
#include "platform/models/installer_module.h"

namespace quillmor_speech {
namespace {

int installInModule(const InstallerRequest* request,
                    void (*setMessage)(void* context, const char* text, std::size_t length),
                    void* messageContext) {
  return runModuleCall(
      [&] {
        return installModel(
            request->store, request->locale, catalogueEntryOf(*request), modelLoadCheckOf(*request),
            [request] { return request->isCancelled(request->cancelContext) != 0; });
      },
      setMessage, messageContext);
}

}  // namespace
}  // namespace quillmor_speech

extern "C" {
__attribute__((visibility(
    "default"))) extern const quillmor_speech::InstallerModuleEntry quillmorInstallerModule;
const quillmor_speech::InstallerModuleEntry quillmorInstallerModule{
    quillmor_speech::InstallerModuleEntry::kVersion, &quillmor_speech::installInModule};
}
