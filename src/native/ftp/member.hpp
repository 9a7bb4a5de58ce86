// How a member of FTPPath (or the module function) is declared: once, in
// the file that holds its body, with named fields. The class table in
// module.cpp orders the members; qualified names, traceback names and lines
// are derived from that table when the module is imported.
#pragma once
#include "runtime/function.hpp"

namespace dravlen {

// How the class body binds a member.
enum class Wrap {
    none,            // the function itself
    retry,           // retry(ftplib.error_temp, ftplib.error_reply)(function)
    retry_property,  // property(retry(...)(function))
};

struct Member {
    const char* name;
    Param params[kMaxParams] = {};       // self first
    const char* last_default = nullptr;  // default of the last parameter
    const char* returns = "None";        // return annotation, as text
    Wrap wrap = Wrap::retry;
    // Acts on self.path on the server: a path text FTP cannot carry is refused
    // before anything is sent, and the checked text is handed to the body
    // (op::posix), so it is built once per call.
    bool remote = false;
    bool generator = false;  // the body returns a generator
    bool var_any = false;    // (*_, **__)
    Body body = nullptr;

    FunctionDef function() const;
};

inline constexpr Param self_param{"self"};

extern const Member interrupt_member;
extern const Member reset_member;
extern const Member exists_member;
extern const Member is_dir_member;
extern const Member read_member;
extern const Member write_member;
extern const Member upload_member;
extern const Member delete_member;
extern const Member mkdir_member;
extern const Member glob_member;
extern const Member mtime_member;

}  // namespace dravlen
