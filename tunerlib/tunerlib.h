/*
 * tunerlib: the calibration station's library (libtunerlib.so on Linux,
 * tunerlib.dll on Windows).
 *
 * A station application loads the library, calls BuildCalibrateModule, reads
 * the serial ports with GetComPortInfo, tells golden samples from devices
 * under test (DUTs) with FindDevicePortId, opens one golden-sample port and
 * one DUT port, runs the calibration chain GetGoldenInfo, GetDUTInfo,
 * VefifyDUTInfo, StartDUTCalibrate, closes the ports and calls
 * ReleaseCalibrateModule. The library starts no threads. Its exports may be
 * called from several threads (a UI thread and a worker): one lock makes the
 * calls run one after the other, each to its end, so a call that waits for a
 * reply holds up the others until its time-out at most.
 *
 * Calling convention: plain C functions under their undecorated names, the C
 * calling convention (cdecl: the caller removes the arguments), every result
 * a 32-bit signed int. On Windows the export ordinals are 1 to 15 in the
 * alphabetical order of the names (BuildCalibrateModule 1 ... VefifyDUTInfo
 * 15). Byte arguments use only their low byte.
 *
 * Results: 0 is success, every failure is negative and numbered per export
 * (the same number means different things in different exports). -11 means
 * that the module has not been built (GetGoldenInfo also returns -11 when a
 * read of its reply's header fails).
 *
 * Log lines: every line begins with the export's name and a colon; it is
 * formatted into 1024 wide characters (cut to fit, always terminated) and
 * sent to the debugger output (OutputDebugStringW). On Linux it is written as
 * UTF-8 to standard error when the environment variable TUNERLIB_LOG is
 * "stderr", appended to the file that TUNERLIB_LOG names otherwise, and sent
 * to syslog at debug priority when TUNERLIB_LOG is unset. Nothing is written
 * to standard output.
 *
 * Ports: Windows lists the serial ports of the registry's serial device map
 * (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM) and opens "\\.\NAME". Linux lists the
 * ttys of /sys/class/tty that have a device, or the colon-separated names of
 * TUNERLIB_SERIAL_PORTS when that is set (names relative to /dev, such as
 * "ttyUSB0" or "pts/3"), and opens /dev/NAME. A port id is the 0-based
 * position of the port's name in the library's port map, which keeps its
 * order across refreshes: a vanished port moves the later ones one id down,
 * a new one is appended.
 *
 * Exchange failures (every request is one packet written and one reply read
 * back). Codes of GetGoldenInfo / of the other operations:
 *   F1  port not open                               -2  / -1
 *   F2  the write failed                            -3  / -2
 *   F3  fewer bytes written than the request        -4  / -3
 *   F4  reply header still short after one retry    -5  / -4
 *   F5  reply packet type is not 0x87, or the       -6  / -5
 *       header declares a payload longer than 246
 *       bytes (the reply would not fit its 256-byte
 *       buffer; logged as "...payload length (%u)
 *       too long, at most 246", the rest of the
 *       reply discarded)
 *   F6  a read of the remainder failed              -7  / -6
 *   F7  remainder still short after one retry       -8  / -7
 *   F8  CRC mismatch                                -9  / -8
 *   F9  the module's status byte is not 0           -10 / -9
 *   F10 a read of the header failed                 -11 / -10
 */
#ifndef TUNERLIB_H
#define TUNERLIB_H

#include <stddef.h> /* wchar_t */

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the module. 0 (also when it exists already: it stays as it is,
 * with the line "BuildCalibrateModule: Module has been built"), -1 when it
 * cannot be created. */
int BuildCalibrateModule(void);

/* Closes the golden-sample and DUT ports if they are still open, destroys the
 * module and its port map. Always 0, also without a module. */
int ReleaseCalibrateModule(void);

/* Refreshes the port map from the system's port list and copies names out.
 * *lpbPortNum: in, how many names lppPortName can take; out, how many were
 * copied. lppPortName[k]: a buffer of bNameLen wide characters. Names are
 * copied only when *lpbPortNum, lppPortName and bNameLen are all non-zero;
 * otherwise the map is still refreshed and *lpbPortNum keeps its value. A
 * name longer than bNameLen - 1 characters is never cut: its buffer receives
 * an empty string and a "GetPortMapNameByIndex: ..." line is logged.
 * 0; -1 the port list could not be read (map unchanged); -2 the port list
 * could not be opened (map emptied); -11 no module. */
int GetComPortInfo(unsigned char* lpbPortNum, wchar_t** lppPortName, unsigned char bNameLen);

/* Probes every port of the map in turn (115200 8N1, each read at most
 * 100 ms a byte + 30 ms) with the identification request and sorts the ports
 * that answer by their role byte: 0x12 golden sample, 0x11 and 0x21 DUT (the
 * DUT type sent by GetGoldenInfo becomes that byte). Each call starts from
 * empty lists: it reports the modules attached now. *bGoldenNum / *bDUTNum:
 * in, the capacity of lpbGoldenBuf / lpbDUTBuf; out, the number of port ids
 * written (lowest ids first). A port that is open as golden sample or DUT
 * cannot be probed. 0 (also when no port answered); -1 empty port map, or a
 * null buffer, a null count or zero capacity (nothing probed); -11 no module. */
int FindDevicePortId(unsigned char* lpbGoldenBuf, unsigned char* bGoldenNum,
                     unsigned char* lpbDUTBuf, unsigned char* bDUTNum);

/* Open the port with the given id as golden-sample port (each read at most
 * 100 ms a byte + 30 ms) or DUT port (100 ms a byte + 2000 ms): 115200 8N1,
 * not shared, input and output purged. When that port slot is open already,
 * the settings are applied again to the open port, whichever id is given.
 * 0; -1 no such id; -2 the port cannot be opened; -3 / -4 its settings
 * cannot be read / written; -5 its time-outs cannot be set; -11 no module. */
int OpenGoldenSamplePort(unsigned char bPortId);
int OpenDUTPort(unsigned char bPortId);

/* Close the port if open. 0; -11 no module. */
int CloseGoldenSamplePort(void);
int CloseDUTPort(void);

/* The chain. Each step stores the module's reply; a failed step marks its
 * reply absent, so the next step fails with -1 (and its "failed (0)" line)
 * instead of forwarding a partial reply.
 *
 * GetGoldenInfo: sends the channel (0 to 39) and the DUT type to the golden
 * sample. -1 channel above 39 (the channel is kept otherwise, also when the
 * exchange fails); -2 to -11 F1 to F10.
 * GetDUTInfo: sends the golden sample's payload to the DUT. -1 no golden
 * reply or DUT port not open; -2 to -10 F2 to F10.
 * VefifyDUTInfo: sends the DUT's payload to the golden sample. -1 no DUT
 * reply or golden port not open; -2 to -10 F2 to F10.
 * StartDUTCalibrate: sends the verify payload, the channel and bParam to the
 * DUT and stores the first byte of its reply's payload in *lpbResult (nothing
 * is written on failure). -1 no verify reply, DUT port not open, or a null
 * lpbResult ("StartDUTCalibrate: lpbResult == NULL", nothing sent); -2 to
 * -10 F2 to F10. */
int GetGoldenInfo(unsigned char bChannel);
int GetDUTInfo(void);
int VefifyDUTInfo(void);
int StartDUTCalibrate(unsigned char bParam, unsigned char* lpbResult);

/* Restarts the golden sample; the stored replies stay. -1 port not open;
 * -2 to -10 F2 to F10. */
int RebootGoldenSample(void);

/* Writes the 6 bytes of lpMACBuf (in that order) into the DUT. len must be 6:
 * a null buffer or another len returns -11 with the line "SetDUTMacAddress:
 * lpMACBuf == NULL || len != 6". -11 also without a module (no line). -1 DUT
 * port not open; -2 to -10 F2 to F10. */
int SetDUTMacAddress(const unsigned char* lpMACBuf, unsigned char len);

/* Copies the first min(nLen, 12) characters of "hello world!" and a
 * terminator into log (which must hold that many + 1). 0; -1 null log. Needs
 * no module. */
int ReturnLPCWCHAR(wchar_t* log, unsigned int nLen);

/* Pointer types for loading the library at run time (dlsym / GetProcAddress). */
typedef int (*PFN_BuildCalibrateModule)(void);
typedef int (*PFN_ReleaseCalibrateModule)(void);
typedef int (*PFN_GetComPortInfo)(unsigned char*, wchar_t**, unsigned char);
typedef int (*PFN_FindDevicePortId)(unsigned char*, unsigned char*, unsigned char*, unsigned char*);
typedef int (*PFN_OpenGoldenSamplePort)(unsigned char);
typedef int (*PFN_OpenDUTPort)(unsigned char);
typedef int (*PFN_CloseGoldenSamplePort)(void);
typedef int (*PFN_CloseDUTPort)(void);
typedef int (*PFN_GetGoldenInfo)(unsigned char);
typedef int (*PFN_GetDUTInfo)(void);
typedef int (*PFN_VefifyDUTInfo)(void);
typedef int (*PFN_StartDUTCalibrate)(unsigned char, unsigned char*);
typedef int (*PFN_RebootGoldenSample)(void);
typedef int (*PFN_SetDUTMacAddress)(const unsigned char*, unsigned char);
typedef int (*PFN_ReturnLPCWCHAR)(wchar_t*, unsigned int);

#ifdef __cplusplus
}
#endif

#endif
