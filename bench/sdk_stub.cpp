// A camera SDK that has no camera: enough to link the module into programs
// that only drive its log writer, URL parsing and callback directly (the
// Google benchmarks and the libFuzzer targets). Every call that would need
// a camera fails with "not initialised".
#include "hcnetsdk.h"

extern "C" {

int NET_DVR_Init(void)
{
    return 1;
}
int NET_DVR_Cleanup(void)
{
    return 1;
}
uint32_t NET_DVR_GetLastError(void)
{
    return NET_DVR_NOINIT;
}
int NET_DVR_SetConnectTime(uint32_t, uint32_t)
{
    return 1;
}
int NET_DVR_SetReconnect(uint32_t, int)
{
    return 1;
}
int32_t NET_DVR_Login_V30(const char *, uint16_t, const char *, const char *, NET_DVR_DEVICEINFO_V30 *)
{
    return -1;
}
int NET_DVR_Logout(int32_t)
{
    return 0;
}
int32_t NET_DVR_StartRemoteConfig(int32_t, uint32_t, const void *, uint32_t, NET_DVR_RemoteConfigCallback, void *)
{
    return -1;
}
int NET_DVR_StopRemoteConfig(int32_t)
{
    return 0;
}

}  // extern "C"
