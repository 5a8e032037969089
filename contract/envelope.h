// The one JSON shape the host writes to the extension,
// {"Result":"<result>","Data":"<data>"}: replies carry a result code, the
// relays' questions a command word and a window id.
#pragma once

#define ENVELOPE_HEAD "{\"Result\":\""
#define ENVELOPE_MIDDLE "\",\"Data\":\""
#define ENVELOPE_TAIL "\"}"
// The envelope around two literals or printf conversions.
#define ENVELOPE(result, data) ENVELOPE_HEAD result ENVELOPE_MIDDLE data ENVELOPE_TAIL
// The reply to a refused request, and the last one at the end of input.
#define REFUSAL_ENVELOPE ENVELOPE("-1", "")

#define URL_QUESTION_WORD "GetURL"
#define DEVTOOL_QUESTION_WORD "GetFrameDevTool"
