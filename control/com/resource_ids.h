#ifndef VEXA_CONTROL_COM_RESOURCE_IDS_H_
#define VEXA_CONTROL_COM_RESOURCE_IDS_H_

// Resources of ievexaupload_plugin.dll (also read by the resource compiler).
#define kModuleScriptId 201
#define kClassScriptId 202
#define kToolboxBitmapId 102

#endif  // VEXA_CONTROL_COM_RESOURCE_IDS_H_
