// Ids of the driver's practice target; preprocessor-only, shared with its resource script.
#pragma once

#define IDD_STANDIN 100
#define IDC_NAME 101
#define IDC_SECRET 102
#define IDC_FLAG 103
#define IDC_GO 104
#define IDC_HIDE 105

#define IDM_STANDIN 200
#define IDM_FIRST 201
#define IDM_SECOND 202
#define IDM_BOX 203
#define IDM_QUIT 204
