/*
 * The camera network SDK operations that thermometry uses, declared with the
 * widths the vendor's libhcnetsdk.so exports them with, so that the vendor's
 * library and our stand-in (sdk/standin) can replace one another at link and
 * run time.
 *
 * Conventions: a boolean result is an int, non-zero on success. A user id or
 * a stream handle is a signed 32-bit number, negative on failure. After any
 * failure NET_DVR_GetLastError() returns the calling thread's error code.
 */
#ifndef HCNETSDK_H
#define HCNETSDK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Remote-configuration command: the real-time thermometry stream. */
#define NET_DVR_GET_REALTIME_THERMOMETRY 3629u

/* Callback types delivered by a remote-configuration stream. */
#define NET_SDK_CALLBACK_TYPE_STATUS 0u
#define NET_SDK_CALLBACK_TYPE_DATA 2u

/* Values of the first 32-bit word of a status record. */
#define NET_SDK_CALLBACK_STATUS_SUCCESS 1000
#define NET_SDK_CALLBACK_STATUS_FAILED 1002

/* Error codes returned by NET_DVR_GetLastError(). A camera may also report
 * codes of its own (for a refused stream, stop or logout); they are passed
 * through unchanged. */
#define NET_DVR_NOERROR 0u
#define NET_DVR_PASSWORD_ERROR 1u       /* wrong user name or password */
#define NET_DVR_NOINIT 3u               /* NET_DVR_Init not called, or after NET_DVR_Cleanup */
#define NET_DVR_CHANNEL_ERROR 4u        /* the camera has no such channel */
#define NET_DVR_NETWORK_FAIL_CONNECT 7u /* camera unreachable within the connect time */
#define NET_DVR_NETWORK_SEND_ERROR 8u   /* sending to the camera failed */
#define NET_DVR_NETWORK_RECV_ERROR 9u   /* connection lost, or the camera closed it */
#define NET_DVR_NETWORK_RECV_TIMEOUT 10u /* the camera did not answer in time */
#define NET_DVR_NETWORK_ERRORDATA 11u   /* the camera sent something malformed */
#define NET_DVR_PARAMETER_ERROR 17u     /* bad argument, or unknown user id or handle */
#define NET_DVR_ALLOC_RESOURCE_ERROR 41u /* out of memory, threads or descriptors */

/* Output area of a login: 80 bytes that the SDK fills with device facts. */
typedef struct {
    uint8_t bytes[80];
} NET_DVR_DEVICEINFO_V30;

/* Called on a thread that the SDK owns with each record of a stream:
 * type 0 = status record (int32 status, uint32 error code),
 * type 2 = 440-byte thermometry data record. The buffer stays the SDK's. */
typedef void (*NET_DVR_RemoteConfigCallback)(uint32_t type, void *buffer,
                                             uint32_t length, void *user_data);

int NET_DVR_Init(void);
int NET_DVR_Cleanup(void);
uint32_t NET_DVR_GetLastError(void);
int NET_DVR_SetConnectTime(uint32_t wait_ms, uint32_t tries);
int NET_DVR_SetReconnect(uint32_t interval_ms, int enable);
int32_t NET_DVR_Login_V30(const char *address, uint16_t port,
                          const char *user_name, const char *password,
                          NET_DVR_DEVICEINFO_V30 *device_info);
int NET_DVR_Logout(int32_t user_id);
int32_t NET_DVR_StartRemoteConfig(int32_t user_id, uint32_t command,
                                  const void *condition, uint32_t condition_length,
                                  NET_DVR_RemoteConfigCallback callback,
                                  void *user_data);
int NET_DVR_StopRemoteConfig(int32_t handle);

#ifdef __cplusplus
}
#endif

#endif /* HCNETSDK_H */
