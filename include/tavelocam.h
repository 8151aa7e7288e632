/*
 * Tavelo camera library: the public C interface.
 *
 * 62 flat functions, each returning a 32-bit result code: 0 for success,
 * CAM_S_COMPLETED for success with information, negative for failure.
 */
#ifndef TAVELOCAM_H
#define TAVELOCAM_H

#include "tavelo/win32.h"

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define TAVELOAPI __stdcall
#else
#define TAVELOAPI
#endif

#if defined(TAVELOCAM_BUILDING) && !defined(_WIN32)
#define TAVELOCAM_EXPORT __attribute__((visibility("default")))
#else
#define TAVELOCAM_EXPORT
#endif

#ifdef __cplusplus
#define TAVELOCAM_STATIC_ASSERT static_assert
extern "C" {
#else
#define TAVELOCAM_STATIC_ASSERT _Static_assert
#endif

typedef HRESULT CAMRESULT;
typedef void *HCAMERA;

/* ---- Result codes ---------------------------------------------------- */

#define CAM_S_OK ((CAMRESULT)0x00000000)
#define CAM_S_COMPLETED ((CAMRESULT)0x0FFA0014)
#define CAM_E_NOT_SUPPORTED ((CAMRESULT)0xCFFA0001u)
#define CAM_E_PROTOCOL_VERSION ((CAMRESULT)0xCFFA0002u)
#define CAM_E_TIMEOUT ((CAMRESULT)0xCFFA0003u)
#define CAM_E_CAMERA_INTERNAL ((CAMRESULT)0xCFFA0004u)
#define CAM_E_BAD_REQUEST_DATA ((CAMRESULT)0xCFFA0005u)
#define CAM_E_NO_SPACE ((CAMRESULT)0xCFFA0006u)
#define CAM_E_FILE_NOT_FOUND ((CAMRESULT)0xCFFA0007u)
#define CAM_E_DATA_NOT_FOUND ((CAMRESULT)0xCFFA0008u)
#define CAM_E_FILE_TYPE ((CAMRESULT)0xCFFA0009u)
#define CAM_E_DEVICE ((CAMRESULT)0xCFFA000Au)
#define CAM_E_NO_CARD ((CAMRESULT)0xCFFA000Bu)
#define CAM_E_BUSY ((CAMRESULT)0xCFFA000Cu)
#define CAM_E_LOW_BATTERY ((CAMRESULT)0xCFFA000Du)
#define CAM_E_FAILED ((CAMRESULT)0xCFFA0015u)
#define CAM_E_INCAPABLE ((CAMRESULT)0xCFFA0016u)
#define CAM_E_COMM ((CAMRESULT)0xCFFA0017u)
#define CAM_E_OUT_OF_MEMORY ((CAMRESULT)0xCFFA0018u)
#define CAM_E_ABORTED ((CAMRESULT)0xCFFA0019u)
#define CAM_E_CAMERA ((CAMRESULT)0xCFFA001Au)
#define CAM_E_FEATURE ((CAMRESULT)0xCFFA001Bu)
#define CAM_E_NO_CAMERA ((CAMRESULT)0xCFFA001Cu)
#define CAM_E_BAD_PARAMETER ((CAMRESULT)0xCFFA001Du)
#define CAM_E_LONG_NAME ((CAMRESULT)0xCFFA001Eu)
#define CAM_E_BAD_DATA ((CAMRESULT)0xCFFA001Fu)
#define CAM_E_NO_RESPONSE ((CAMRESULT)0xCFFA0020u)
#define CAM_E_READ ((CAMRESULT)0xCFFA0021u)
/* A directory holds more entries than one listing answer can carry; the
 * library gives this rather than a list cut short. */
#define CAM_E_LISTING_TOO_LARGE ((CAMRESULT)0xCFFA0022u)

/* The error code of a camera status word n (1 to 999). */
#define CAM_E_STATUS(n) ((CAMRESULT)(0xCFFA0000u | ((n)&0xFFFFu)))

/* ---- Records ---------------------------------------------------------- */

/* A camera found by TaveloEnumCameras (312 bytes). */
typedef struct TAVELO_DEVICE_INFO {
  ULONG reserved;
  ULONG hwrv;
  ULONG oerv;
  char vdid[32];
  char ptid[32];
  char fwcn[32];
  char cccn[32];
  char cacn[32];
  char ipcn[32];
  ULONG ucrv;
  ULONG ccsv;
  ULONG carv;
  ULONG iprn;
  ULONG pcnt;
  ULONG scnt;
  ULONG rams;
  ULONG hprs;
  ULONG sern;
  VARIANT deviceId;        /* the transport component's identifier of the camera */
  char transportClsid[56]; /* registry form with braces */
} DEVICE_INFO;

/* A file or directory on the camera (72 bytes). Path name: "2:ALBUM1/IMG0001.JPG". */
typedef struct TAVELO_FH {
  WORD kind;
  WORD reserved;
  LONG drive;
  char path[64];
} FH;

/* What TaveloGetImageInfo reports (72 bytes). */
typedef struct TAVELO_IMAGE_INFO {
  ULONG isImage;
  ULONG fileType;
  ULONG fileSize;
  SYSTEMTIME created;
  SYSTEMTIME modified;
  ULONG bitsPerPixel;
  ULONG width;
  ULONG height;
  ULONG reserved[2];
  ULONG isImageAgain;
  ULONG sdss;
} IMAGE_INFO;

/* Progress of the latest chunked transfer (8 bytes). */
typedef struct TAVELO_PROGRESS {
  ULONG total;
  ULONG done;
} PROGRESS;

/* What TaveloStartCapture sends (16 bytes). */
typedef struct TAVELO_CAPTURE_REQUEST {
  ULONG mode;
  ULONG parameter1;
  ULONG parameter2;
  ULONG parameter3;
} CAPTURE_REQUEST;

/* One entry of a parameter's capability list (36 bytes). */
typedef struct TAVELO_CAP_ITEM {
  BYTE data[32];
  ULONG value;
} CAP_ITEM;

/* The library ships for 32-bit Windows and POSIX. On 64-bit Windows (only
 * its test build) VARIANT is the system's 24 bytes, and so is the device
 * info record's copy of it. */
#ifndef _WIN64
TAVELOCAM_STATIC_ASSERT(sizeof(DEVICE_INFO) == 312, "DEVICE_INFO is 312 bytes");
TAVELOCAM_STATIC_ASSERT(offsetof(DEVICE_INFO, transportClsid) == 256, "class id at 256");
TAVELOCAM_STATIC_ASSERT(sizeof(VARIANT) == 16, "VARIANT is 16 bytes");
#endif
TAVELOCAM_STATIC_ASSERT(offsetof(DEVICE_INFO, deviceId) == 240, "device id at 240");
TAVELOCAM_STATIC_ASSERT(sizeof(FH) == 72, "FH is 72 bytes");
TAVELOCAM_STATIC_ASSERT(sizeof(IMAGE_INFO) == 72, "IMAGE_INFO is 72 bytes");
TAVELOCAM_STATIC_ASSERT(offsetof(IMAGE_INFO, sdss) == 68, "sdss flag at 68");
TAVELOCAM_STATIC_ASSERT(sizeof(PROGRESS) == 8, "PROGRESS is 8 bytes");
TAVELOCAM_STATIC_ASSERT(sizeof(CAPTURE_REQUEST) == 16, "CAPTURE_REQUEST is 16 bytes");
TAVELOCAM_STATIC_ASSERT(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is 16 bytes");
TAVELOCAM_STATIC_ASSERT(sizeof(CAP_ITEM) == 36, "CAP_ITEM is 36 bytes");

/* Event kinds 1 to 7; kind 7 is transfer progress. */
typedef void(TAVELOAPI *EVENT_CALLBACK)(ULONG eventKind, HCAMERA camera, uintptr_t context);

/* ---- Exported functions (ordinals 1 to 62) ---------------------------- */

#define TAVELO_FN(name) TAVELOCAM_EXPORT CAMRESULT TAVELOAPI name

TAVELO_FN(TaveloEnumCameras)(ULONG *count, DEVICE_INFO **records);
TAVELO_FN(TaveloBindCamera)(HCAMERA *camera, const DEVICE_INFO *record);
TAVELO_FN(TaveloGetDeviceInfo)(HCAMERA camera, DEVICE_INFO *record);
TAVELO_FN(TaveloCloseCamera)(HCAMERA camera);
TAVELO_FN(TaveloGetFileList)
(HCAMERA camera, const FH *dir, ULONG *count, FH ***handles, LONG excludeFlag);
TAVELO_FN(TaveloGetFileData)
(HCAMERA camera, const FH *file, ULONG dataKind, BYTE **data, ULONG *size);
TAVELO_FN(TaveloGetDirectoryList)(HCAMERA camera, const FH *dir, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetGroupList)(HCAMERA camera, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetFileTag)(HCAMERA camera, const FH *file, ULONG tag, VARIANT *value);
TAVELO_FN(TaveloGetFileDisplayName)(HCAMERA camera, const FH *file, char *buffer);
TAVELO_FN(TaveloCloseFile)(HCAMERA camera, FH *file);
TAVELO_FN(TaveloSubscribe)
(HCAMERA camera, ULONG eventKind, EVENT_CALLBACK callback, uintptr_t context);
TAVELO_FN(TaveloUnsubscribe)(HCAMERA camera, ULONG eventKind);
TAVELO_FN(TaveloStartCapture)(HCAMERA camera, const CAPTURE_REQUEST *request);
TAVELO_FN(TaveloStopCapture)(HCAMERA camera);
TAVELO_FN(TaveloDeleteFile)(HCAMERA camera, const FH *file);
TAVELO_FN(TaveloIsEqualFileHandle)(HCAMERA camera, const FH *first, const FH *second);
TAVELO_FN(TaveloGetImageInfo)(HCAMERA camera, const FH *file, IMAGE_INFO *info);
TAVELO_FN(TaveloCreateFile)(HCAMERA camera, const FH *dir, const char *name, FH **newFile);
TAVELO_FN(TaveloCreateDirectory)(HCAMERA camera, const FH *parent, const char *name, FH **newDir);
TAVELO_FN(TaveloWriteFile)(HCAMERA camera, const FH *file, const void *data, ULONG length);
TAVELO_FN(TaveloGetCameraTime)(HCAMERA camera, SYSTEMTIME *time);
TAVELO_FN(TaveloSetCameraTime)(HCAMERA camera, const SYSTEMTIME *time);
TAVELO_FN(TaveloGetSystemFileList)(HCAMERA camera, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetScriptDescription)(HCAMERA camera, const FH *script, char *buffer);
TAVELO_FN(TaveloGetPowerMode)(HCAMERA camera, ULONG *mode);
TAVELO_FN(TaveloPowerOff)(HCAMERA camera);
TAVELO_FN(TaveloSetFileTag)(HCAMERA camera, const FH *file, ULONG tag, VARIANT value);
TAVELO_FN(TaveloGetUngroupedImages)(HCAMERA camera, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetAllImagesList)(HCAMERA camera, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetProgressInfo)(HCAMERA camera, PROGRESS *progress);
TAVELO_FN(TaveloCancelTransfer)(HCAMERA camera);
TAVELO_FN(TaveloGetParentHandle)(HCAMERA camera, const FH *file, FH **parent);
TAVELO_FN(TaveloGetNewFileList)(HCAMERA camera, ULONG *count, FH ***handles);
TAVELO_FN(TaveloGetParameter)(HCAMERA camera, ULONG tag, VARIANT *value);
TAVELO_FN(TaveloSetShutterHalfway)(HCAMERA camera, LONG state);
TAVELO_FN(TaveloSetParameter)(HCAMERA camera, ULONG tag, VARIANT value);
TAVELO_FN(TaveloCopyFileToCamera)
(HCAMERA camera, const char *hostPath, const FH *dir, const char *name, FH **newFile);
TAVELO_FN(TaveloCopyFileFromCamera)(HCAMERA camera, const char *hostPath, const FH *file);
TAVELO_FN(TaveloRunApp)(HCAMERA camera, const FH *script);
TAVELO_FN(TaveloCreateGroup)(HCAMERA camera, char *name, FH **members, LONG count);
TAVELO_FN(TaveloGetFileType)(HCAMERA camera, const FH *file, ULONG *type);
TAVELO_FN(TaveloGetFileSize)(HCAMERA camera, const FH *file, ULONG *size);
TAVELO_FN(TaveloGetImageCount)(HCAMERA camera, ULONG *count);
TAVELO_FN(TaveloGetShotsRemaining)(HCAMERA camera, ULONG *count);
TAVELO_FN(TaveloGetParamCapType)(HCAMERA camera, ULONG tag, ULONG *capType);
TAVELO_FN(TaveloGetParamCapValue)(HCAMERA camera, ULONG tag, VARIANT *value);
TAVELO_FN(TaveloGetParamCapRange)(HCAMERA camera, ULONG tag, ULONG *low, ULONG *high, ULONG *step);
TAVELO_FN(TaveloGetParamCapList)
(HCAMERA camera, ULONG tag, ULONG *listValue, ULONG *count, CAP_ITEM **items);
TAVELO_FN(TaveloGetSystemDir)(HCAMERA camera, FH **dir);
TAVELO_FN(TaveloListAllParameters)(HCAMERA camera, ULONG *count, ULONG **tags);
TAVELO_FN(TaveloGetParameterDesc)(HCAMERA camera, ULONG tag, char *buffer32);
TAVELO_FN(TaveloGetSystemStatus)(HCAMERA camera, ULONG *status);
TAVELO_FN(TaveloGetCaptureStatus)(HCAMERA camera, ULONG *status);
TAVELO_FN(TaveloGetVendorStatus)(HCAMERA camera, ULONG *status);
TAVELO_FN(TaveloRaw)
(HCAMERA camera, const BYTE *request, ULONG requestLength, BYTE **response, ULONG *responseLength);
TAVELO_FN(TaveloSetParameterUserDefault)(HCAMERA camera, ULONG tag, ULONG selector, VARIANT value);
TAVELO_FN(TaveloGetParameterDefault)(HCAMERA camera, ULONG tag, ULONG selector, VARIANT *value);
TAVELO_FN(TaveloRestoreParameterDefault)(HCAMERA camera, ULONG tag, ULONG selector);
TAVELO_FN(TaveloTestData)(HCAMERA camera, ULONG byteCount);
TAVELO_FN(TaveloInitialize)(LONG mode);
TAVELO_FN(TaveloUninitialize)(void);

#undef TAVELO_FN

#ifdef __cplusplus
}
#endif

#endif /* TAVELOCAM_H */
