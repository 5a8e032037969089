// The names of the objects the host and the agent share, and of the host's
// debug log, per browser. Events and blocks live in the Global namespace: the
// agent runs in another session.
#pragma once

#define CHROME_LOG_NAME "Orvendel_chrome"
#define CHROME_EVENT_RESPONSE_URL "Global\\ResponseEventForUrl_dg"
#define CHROME_EVENT_REQUEST_URL "Global\\RequestEventForUrl_dg"
#define CHROME_EVENT_FOR_RES "Global\\geturlbyExtension"
#define CHROME_EVENT_RESPONSE_DEVTOOL "Global\\ResponseEvent_DevTool_dg"
#define CHROME_EVENT_REQUEST_DEVTOOL "Global\\RequestEvent_DevTool_dg"
#define CHROME_EVENT_GET_DEVTOOL_RES "Global\\IsExistDevtool_dg"
#define CHROME_URL_REQUEST_BLOCK "Global\\REQFRAMEURL_LIST"
#define CHROME_DEVTOOL_REQUEST_BLOCK "Global\\REQFRAMEURL_DEVTOOL"
#define CHROME_URL_RESULT_BLOCK "Global\\GETFRAMEURL_LIST"
#define CHROME_DEVTOOL_RESULT_BLOCK "Global\\GETFRAMEURL_DEVTOOL"

#define EDGE_LOG_NAME "Orvendel_edge"
#define EDGE_EVENT_RESPONSE_URL "Global\\ResponseEventForUrl_edge"
#define EDGE_EVENT_REQUEST_URL "Global\\RequestEventForUrl_edge"
#define EDGE_EVENT_FOR_RES "Global\\geturlbyExtension_edge"
#define EDGE_EVENT_RESPONSE_DEVTOOL "Global\\ResponseEvent_DevTool_edge"
#define EDGE_EVENT_REQUEST_DEVTOOL "Global\\RequestEvent_DevTool_edge"
#define EDGE_EVENT_GET_DEVTOOL_RES "Global\\IsExistDevtool_edge"
#define EDGE_URL_REQUEST_BLOCK "Global\\REQFRAMEURL_LIST_EDGE"
#define EDGE_DEVTOOL_REQUEST_BLOCK "Global\\REQFRAMEURL_DEVTOOL_EDGE"
#define EDGE_URL_RESULT_BLOCK "Global\\GETFRAMEURL_LIST_EDGE"
#define EDGE_DEVTOOL_RESULT_BLOCK "Global\\GETFRAMEURL_DEVTOOL_EDGE"
