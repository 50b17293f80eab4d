// The J-Link probe library, loaded at run time. Its 14 entry points are
// looked up by name the first time an operation needs them and kept for the
// rest of the process; a library that could not be loaded is looked for again
// at the next need.
#pragma once
#include <cstdint>
#include <initializer_list>

// The entry points, each once: X(NAME, ID, RESULT, PARAMETERS). NAME is the
// member of jlink_entry_points and the exported name behind "JLINKARM_", ID
// the jlink_entry behind "JLINK_". The struct, the enum, the names and the
// trace's wrappers are all made from this list.
#define JLINK_ENTRY_POINTS(X)                                                               \
    X(Close, CLOSE, void, ())                                                               \
    X(Connect, CONNECT, int, ())                                                            \
    X(ExecCommand, EXEC_COMMAND, int, (const char* command, char* error, int error_size))   \
    X(Go, GO, void, ())                                                                     \
    X(Halt, HALT, int, ())                                                                  \
    X(Open, OPEN, const char*, ())                                                          \
    X(ReadMem, READ_MEM, int, (uint32_t addr, uint32_t count, void* dest))                  \
    X(ReadMemU32, READ_MEM_U32, int, (uint32_t addr, uint32_t words, uint32_t* dest, uint8_t* status)) \
    X(Reset, RESET, int, ())                                                                \
    X(SelectUSB, SELECT_USB, int, (int port))                                               \
    X(SetSpeed, SET_SPEED, void, (uint32_t khz))                                            \
    X(WriteMem, WRITE_MEM, int, (uint32_t addr, uint32_t count, const void* data))          \
    X(WriteReg, WRITE_REG, int, (int reg, uint32_t value))                                  \
    X(TIF_Select, TIF_SELECT, int, (int interface))

// The entry points as the SWD link calls them. Results whose low byte alone
// counts are read through jlink_low_byte.
struct jlink_entry_points {
#define JLINK_MEMBER(NAME, ID, RESULT, PARAMETERS) RESULT(*NAME) PARAMETERS;
    JLINK_ENTRY_POINTS(JLINK_MEMBER)
#undef JLINK_MEMBER
};

// One per member of jlink_entry_points, in the same order.
enum jlink_entry : unsigned {
#define JLINK_ID(NAME, ID, RESULT, PARAMETERS) JLINK_##ID,
    JLINK_ENTRY_POINTS(JLINK_ID)
#undef JLINK_ID
    JLINK_ENTRY_COUNT,
};

// The probe library's handle (nullptr until loaded) and the entry points
// resolved so far (nullptr until resolved). Process-wide, never released.
extern void* jlink_library;
extern jlink_entry_points jlink;

// The library's own entry points behind the byte trace's wrappers: while the
// trace (FLINT_TRACE) is on, every entry point jlink_need resolves is kept
// here and `jlink` calls a wrapper that forwards the call and traces it.
extern jlink_entry_points jlink_untraced;
// Puts the resolved entry point behind its wrapper when the trace is on.
void jlink_trace_wrap(jlink_entry entry);

// Makes sure the named entry points are resolved, loading the library first
// when it is not loaded yet: from the program's own folder, then from the
// probe software's install folder. When the library or an entry point cannot
// be found, the error box says so ("Target DLL ... not found !" or "DLL
// function ...(...) not found !"); a library file that is there but cannot be
// loaded is named with the reason ("Target DLL ... cannot be loaded: ...").
// The result is false then.
bool jlink_need(std::initializer_list<jlink_entry> entries);

// The entry point's exported name ("JLINKARM_Halt").
const char* jlink_entry_name(jlink_entry entry);

// Results whose low byte alone carries the outcome: non-zero means failure.
inline int jlink_low_byte(int result) { return result & 0xFF; }

// Forgets the library and every resolved entry point (the library stays
// mapped). For tests that install entry points of their own.
void jlink_forget();
