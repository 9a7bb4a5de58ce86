// Directory listings: taking them from the server, and reading their lines.
#pragma once
#include "names.hpp"
#include "runtime/function.hpp"

namespace dravlen::op {

// An entry of a long listing ("ls -l" lines).
struct Listed {
    Ref name;  // as listed, leading blanks kept; nothing for no entry, ".", ".."
    // The line has a listing line's columns and a name after them (".", ".."
    // too): it lists an entry, where other text (a server's message) does not.
    bool listed = false;
    bool link = false;
    // A link line "a -> b -> c" whose target length did not tell where the
    // name ends: name holds the whole text and the line is nobody's entry.
    bool ambiguous = false;
    // Whether this line could be the entry named own.
    bool names(Borrowed own) const;
};
// The entry of one listing line: a Unix long-listing line (type and
// permissions, links, owner and group if shown, size or device, date) or a
// DOS one (date, time, <DIR> or size); anything else is no entry. The name
// begins after the one blank that follows the date, so blanks it begins with
// are kept; a link's name ends at the " -> " after which the target takes
// exactly as many bytes, in encoding, as the size column says.
// dravlen.ftp.wire.listing reads lines by the same columns.
Listed long_entry(Borrowed line, Borrowed encoding);

// Whether a listed name can be one entry of the listed directory: one path
// component, so not empty, not "." or "..", and holding no "/", NUL, CR or
// LF. Anything else would name something outside it (or end a command line
// early): it names no entry and is never joined or acted on.
// dravlen.ftp.wire.names.child_name is the same rule.
bool child_name(Borrowed name);

// The entry of an MLSD line "fact=value;fact=value; name": its name, or
// nothing for the directory itself, its parent and any name that
// child_name refuses. *link tells a symbolic link.
Ref machine_entry(Borrowed line, bool* link);

// Appends the lines of the long listing of the path (or, with here, of the
// working directory) to data. Most servers hide names that begin with a dot
// unless asked with "-a"; one that takes "-a" for part of the path refuses
// it and is asked plainly (remembered).
void long_listing(const Call& c, Borrowed self, Borrowed data, bool here);

// Appends the lines of the directory's long listing to data. A path holding
// pattern characters or blanks is listed from inside (CWD there, "LIST -a",
// CWD back): some servers expand patterns in LIST's argument, and Pure-FTPd
// takes the blanks in it for separators between several paths. Elsewhere the
// path is listed by name.
void list_directory(const Call& c, Borrowed self, Borrowed data);

bool same_text(Borrowed a, Borrowed b);

}  // namespace dravlen::op
