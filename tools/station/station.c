/*
 * station: an example calibration station in C.
 *
 *   station [LIBRARY [CHANNEL [PARAM]]]
 *
 * Loads tunerlib by name at run time (default libtunerlib.so / tunerlib.dll),
 * builds the module, lists the serial ports, probes them for golden samples
 * and DUTs, opens the first golden sample and then, for every DUT in turn,
 * writes a MAC address and runs the calibration chain on CHANNEL (default 0)
 * with PARAM (default 0). Prints every call and its result; the exit code is
 * 0 when every call succeeded, 1 when one failed, 2 when the library could
 * not be used.
 */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "tools/station/station.h"
#include "tunerlib/tunerlib.h"

#define MAX_PORTS 32
#define NAME_CHARS 64
#define MAX_MODULES 16

static struct {
    PFN_BuildCalibrateModule BuildCalibrateModule;
    PFN_ReleaseCalibrateModule ReleaseCalibrateModule;
    PFN_GetComPortInfo GetComPortInfo;
    PFN_FindDevicePortId FindDevicePortId;
    PFN_OpenGoldenSamplePort OpenGoldenSamplePort;
    PFN_OpenDUTPort OpenDUTPort;
    PFN_CloseGoldenSamplePort CloseGoldenSamplePort;
    PFN_CloseDUTPort CloseDUTPort;
    PFN_GetGoldenInfo GetGoldenInfo;
    PFN_GetDUTInfo GetDUTInfo;
    PFN_VefifyDUTInfo VefifyDUTInfo;
    PFN_StartDUTCalibrate StartDUTCalibrate;
    PFN_RebootGoldenSample RebootGoldenSample;
    PFN_SetDUTMacAddress SetDUTMacAddress;
    PFN_ReturnLPCWCHAR ReturnLPCWCHAR;
} lib;

static int failures = 0;

/* Prints a call's result and counts failures. */
static int report(const char* call, int result) {
    printf("%s: %d\n", call, result);
    fflush(stdout);
    if (result != 0) ++failures;
    return result;
}

#define LOAD(handle, name)                                                   \
    do {                                                                     \
        *(void**)&lib.name = station_symbol(handle, #name);                  \
        if (lib.name == NULL) {                                              \
            fprintf(stderr, "station: %s is not exported\n", #name);         \
            return 0;                                                        \
        }                                                                    \
    } while (0)

static int load_exports(void* h) {
    LOAD(h, BuildCalibrateModule);
    LOAD(h, ReleaseCalibrateModule);
    LOAD(h, GetComPortInfo);
    LOAD(h, FindDevicePortId);
    LOAD(h, OpenGoldenSamplePort);
    LOAD(h, OpenDUTPort);
    LOAD(h, CloseGoldenSamplePort);
    LOAD(h, CloseDUTPort);
    LOAD(h, GetGoldenInfo);
    LOAD(h, GetDUTInfo);
    LOAD(h, VefifyDUTInfo);
    LOAD(h, StartDUTCalibrate);
    LOAD(h, RebootGoldenSample);
    LOAD(h, SetDUTMacAddress);
    LOAD(h, ReturnLPCWCHAR);
    return 1;
}

static void calibrate_dut(unsigned char port_id, unsigned index, unsigned char channel, unsigned char param) {
    unsigned char mac[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x00};
    unsigned char result = 0;
    printf("DUT on port id %u\n", port_id);
    if (report("OpenDUTPort", lib.OpenDUTPort(port_id)) != 0) return;
    mac[5] = (unsigned char)index;
    report("SetDUTMacAddress", lib.SetDUTMacAddress(mac, 6));
    if (report("GetGoldenInfo", lib.GetGoldenInfo(channel)) == 0 &&
        report("GetDUTInfo", lib.GetDUTInfo()) == 0 &&
        report("VefifyDUTInfo", lib.VefifyDUTInfo()) == 0 &&
        report("StartDUTCalibrate", lib.StartDUTCalibrate(param, &result)) == 0)
        printf("calibration result: 0x%02X\n", result);
    report("CloseDUTPort", lib.CloseDUTPort());
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : station_default_library();
    unsigned char channel = (unsigned char)(argc > 2 ? strtoul(argv[2], NULL, 0) : 0);
    unsigned char param = (unsigned char)(argc > 3 ? strtoul(argv[3], NULL, 0) : 0);
    void* h = station_load(name);
    wchar_t text[16];
    wchar_t names[MAX_PORTS][NAME_CHARS];
    wchar_t* name_ptrs[MAX_PORTS];
    unsigned char port_count = MAX_PORTS;
    unsigned char golden[MAX_MODULES], duts[MAX_MODULES];
    unsigned char golden_count = MAX_MODULES, dut_count = MAX_MODULES;
    unsigned k;

    if (h == NULL) {
        fprintf(stderr, "station: cannot load %s\n", name);
        return 2;
    }
    if (!load_exports(h)) return 2;

    report("BuildCalibrateModule", lib.BuildCalibrateModule());
    if (report("ReturnLPCWCHAR", lib.ReturnLPCWCHAR(text, 100)) == 0) printf("text: %ls\n", text);

    for (k = 0; k < MAX_PORTS; ++k) name_ptrs[k] = names[k];
    if (report("GetComPortInfo", lib.GetComPortInfo(&port_count, name_ptrs, NAME_CHARS)) == 0)
        for (k = 0; k < port_count; ++k) printf("port %u: %ls\n", k, names[k]);

    if (report("FindDevicePortId", lib.FindDevicePortId(golden, &golden_count, duts, &dut_count)) == 0) {
        for (k = 0; k < golden_count; ++k) printf("golden sample on port id %u\n", golden[k]);
        for (k = 0; k < dut_count; ++k) printf("DUT on port id %u found\n", duts[k]);
    }
    if (golden_count == 0 || dut_count == 0) {
        printf("no golden sample or no DUT found\n");
        ++failures;
    } else if (report("OpenGoldenSamplePort", lib.OpenGoldenSamplePort(golden[0])) == 0) {
        for (k = 0; k < dut_count; ++k) calibrate_dut(duts[k], k, channel, param);
        report("RebootGoldenSample", lib.RebootGoldenSample());
        report("CloseGoldenSamplePort", lib.CloseGoldenSamplePort());
    }
    report("ReleaseCalibrateModule", lib.ReleaseCalibrateModule());
    printf("%s\n", failures == 0 ? "station: all calls succeeded" : "station: some calls failed");
    return failures == 0 ? 0 : 1;
}
