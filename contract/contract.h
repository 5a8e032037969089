// What the host, the agent, the tools and the tests must agree on, written
// once: the blocks' sizes, where the client's files live under the Windows
// folder, the host's registered name and the reference extension's id.
#pragma once

// The agent makes the blocks; the host relies on at least these sizes.
#define REQUEST_BLOCK_BYTES 16
#define URL_RESULT_BLOCK_BYTES 100000
#define DEVTOOL_RESULT_BLOCK_BYTES 260

// Under the Windows folder.
#define CLIENT_INI_SUBPATH "stelvo\\policy\\stelvo.ini"
#define CLIENT_DUMP_SUBPATH "stelvo\\dump"
#define CLIENT_INI_SECTION "Root"
#define CLIENT_INI_DEBUG_KEY "Debug"
// An ini whose debug switch is the given literal, as the client writes it.
#define CLIENT_INI_WITH_DEBUG(value) "[" CLIENT_INI_SECTION "]\r\n" CLIENT_INI_DEBUG_KEY "=" value "\r\n"

#define HOST_REGISTERED_NAME "com.orvendel.native_host"
// The id the reference extension's "key" gives it.
#define REFERENCE_EXTENSION_ID "hmkgojdnhdinedldemacipdhgnbpllgk"

#define ORV_STR_(x) #x
#define ORV_STR(x) ORV_STR_(x)
