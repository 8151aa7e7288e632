// Transfer progress and cancel, and their exports.
#include "files/transfer.h"

#include "api/checks.h"
#include "control/parameters.h"
#include "events/dispatch.h"

namespace tavelo::files {

HRESULT ReadPacketLimit(CameraSession &session, ULONG *bytes) {
  ValueRecordPtr record;
  HRESULT result = control::GetParameterRecord(session, kTagPacketLimit, &record);
  if (SUCCEEDED(result)) {
    *bytes = record->value.number;
  }
  return result;
}

void ResetTransfer(CameraSession &session, ULONG total) {
  session.cancelRequested.store(0);
  session.progressTotal.store(total);
  session.progressDone.store(0);
}

void ReportProgress(CameraSession &session, ULONG done) {
  session.progressDone.store(done);
  events::DispatchEvent(session, kTransferEvent);
}

bool CancelRequested(const CameraSession &session) {
  return session.cancelRequested.load() != 0;
}

} // namespace tavelo::files

using namespace tavelo;

extern "C" {

// Neither export takes a lock or the command gate: a progress callback
// running inside a transfer calls them, as may any other thread.
TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetProgressInfo(HCAMERA camera, PROGRESS *progress) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Writable(progress, sizeof(PROGRESS))) {
      return CAM_E_BAD_PARAMETER;
    }
    progress->total = session->progressTotal.load();
    progress->done = session->progressDone.load();
    return S_OK;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCancelTransfer(HCAMERA camera) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    session->cancelRequested.store(1);
    return S_OK;
  });
}

} // extern "C"
