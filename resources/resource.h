// Resource identifiers shared by the resource scripts and the code.
#pragma once

#define IDI_PROTOCOL 101
#define IDI_ONLINE 104
#define IDI_OFFLINE 105

// Dialog templates.
#define IDD_OPTIONS 201
#define IDD_ACCOUNT_SETUP 501
#define IDD_USERINFO 601
#define IDD_ADVSEARCH 701

// Controls without an identifier of their own (labels).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
// The group boxes of the options page share one identifier.
#define IDC_GROUP 105

// The account set-up dialog (501).
#define IDC_SETUP_EMAIL 1001
#define IDC_SETUP_PASSWORD 1002

// The options page (201).
#define IDC_OPT_EMAIL 2001
#define IDC_OPT_PASSWORD 2002
#define IDC_OPT_BALLOON 2003
#define IDC_OPT_NMNOTIFY 2004
#define IDC_OPT_TIMEOUT 2005
#define IDC_OPT_SERVER 2006
#define IDC_OPT_PORT 2007
#define IDC_OPT_RECONNECT 2008
#define IDC_OPT_LOG 2009
#define IDC_OPT_LEGACY 2010
#define IDC_OPT_STATUS_TITLE 2011
#define IDC_OPT_STATUS_DESC 2012
#define IDC_OPT_ENCRYPT 2013
#define IDC_OPT_ENCRYPT_REQUIRED 2014
#define IDC_OPT_CERT_PIN 2015
#define IDC_OPT_CERT_SESSION 2016
#define IDC_OPT_AVATAR_SERVER 2017

// The details page (601).
#define IDC_INFO_EMAIL 1001
#define IDC_INFO_LOCATION 700
#define IDC_INFO_CLIENT 1003
#define IDC_INFO_POST 1004
#define IDC_INFO_POST_TIME 1005

// The advanced search's fields.
#define IDC_ADV_NICK 3001
#define IDC_ADV_FIRST_NAME 3002
#define IDC_ADV_LAST_NAME 3003
#define IDC_ADV_CITY 3004
#define IDC_ADV_AGE_FROM 3005
#define IDC_ADV_AGE_TO 3006
#define IDC_ADV_ONLINE 3007
