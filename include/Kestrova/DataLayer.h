/* DataLayer: the node store. Every function returns an HRESULT.
 *
 * A node has an optional name, an optional type, attributes in insertion
 * order and ordered children; it has at most one parent. A node is reached
 * through a handle (IDXNode*); every handle a function returns belongs to the
 * caller until DxnCloseNodeHandle. A node lives while any handle or its
 * parent holds it. Texts are NUL-terminated UTF-16.
 *
 * Sizes: "in/out size" arguments hold the buffer's capacity on the way in
 * and, on the way out, the size written (success) or needed
 * (DXN_E_INSUFFICIENT_BUFFER), in characters for texts and in bytes for
 * attribute values, each counting the terminating NUL where there is one.
 */
#ifndef KESTROVA_DATALAYER_H
#define KESTROVA_DATALAYER_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
typedef wchar_t DxnChar;
typedef HRESULT DxnResult;
#if defined(DATALAYER_BUILDING_DLL)
#define DXN_API __declspec(dllexport)
#else
#define DXN_API __declspec(dllimport)
#endif
#else
#if defined(__cplusplus)
typedef char16_t DxnChar;
#else
typedef uint_least16_t DxnChar;
#endif
typedef int32_t DxnResult;
#define DXN_API
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* Result codes callers test for (HRESULTs). */
#define DXN_S_OK ((DxnResult)0)
#define DXN_E_INSUFFICIENT_BUFFER ((DxnResult)0x8007007A) /* size holds the size needed */
#define DXN_E_NOT_FOUND ((DxnResult)0x80070490)           /* absent attribute or child */
#define DXN_E_INVALID_DATA ((DxnResult)0x8007000D)        /* malformed serialized input */
#define DXN_E_TYPE_MISMATCH ((DxnResult)0x8007065D)       /* typed read of another type */
#define DXN_E_POINTER ((DxnResult)0x80004003)
#define DXN_E_INVALIDARG ((DxnResult)0x80070057)
#define DXN_E_OUTOFMEMORY ((DxnResult)0x8007000E)

/* Attribute type codes. */
#define DXN_TYPE_NONE 0
#define DXN_TYPE_TEXT_LEGACY 1
#define DXN_TYPE_TEXT 2
#define DXN_TYPE_INT32 4
#define DXN_TYPE_INT64 6
#define DXN_TYPE_BOOL 7
#define DXN_TYPE_BINARY 12
#define DXN_TYPE_LIST_FLAG 0x100
#define DXN_TYPE_TEXT_LIST 258

/* DxnGetNodeName forms. */
#define DXN_NAME_FORM_NAME 0
#define DXN_NAME_FORM_FULL_PATH 2

/* DxnCloneNode depths. */
#define DXN_DEPTH_NODE 0u
#define DXN_DEPTH_SUBTREE 2147483647u

typedef struct IDXNode IDXNode;
typedef struct DxnSerializationContext DxnSerializationContext;
typedef struct DxnDeserializationContext DxnDeserializationContext;

DXN_API DxnResult DxnCreateNode(const DxnChar* name, const DxnChar* type, IDXNode** node);
DXN_API DxnResult DxnDuplicateNodeHandle(IDXNode* node, IDXNode** duplicate);
DXN_API DxnResult DxnCloseNodeHandle(IDXNode* node);
DXN_API DxnResult DxnCloneNode(IDXNode* node, uint32_t depth, uint32_t flags, IDXNode** clone);

DXN_API DxnResult DxnGetNodeName(IDXNode* node, uint32_t form, DxnChar* buffer, uint32_t* size);
DXN_API DxnResult DxnGetNodeType(IDXNode* node, DxnChar* buffer, uint32_t* size);
DXN_API DxnResult DxnSetNodeType(IDXNode* node, const DxnChar* type);

DXN_API DxnResult DxnGetChildCount(IDXNode* node, uint32_t* count);
DXN_API DxnResult DxnGetChildByIndex(IDXNode* node, uint32_t index, IDXNode** child);
DXN_API DxnResult DxnGetChildByName(IDXNode* node, const DxnChar* name, IDXNode** child);
DXN_API DxnResult DxnGetParent(IDXNode* node, IDXNode** parent);
DXN_API DxnResult DxnAddChild(IDXNode* parent, IDXNode* child);
DXN_API DxnResult DxnRemoveChild(IDXNode* parent, IDXNode* child);

/* requestedType: null for any type. buffer and size null: success iff the
 * attribute is present. Each of buffer, size and actualType may be null. */
DXN_API DxnResult DxnGetAttribute(IDXNode* node, const DxnChar* name, const uint16_t* requestedType, void* buffer,
                                  uint32_t* size, uint16_t* actualType);
/* Consecutive NUL-terminated names followed by one more NUL; size in characters. */
DXN_API DxnResult DxnGetAttributeNames(IDXNode* node, DxnChar* buffer, uint32_t* size);
/* A null name removes every attribute (and succeeds when there is none). */
DXN_API DxnResult DxnDeleteAttribute(IDXNode* node, const DxnChar* name);
/* Creates or replaces the attribute; the store copies the bytes. */
DXN_API DxnResult DxnSetAttribute(IDXNode* node, const DxnChar* name, uint16_t type, const void* data, uint32_t size);

/* Serialization. Type 1 is the node text format (docs/NodeTextFormat.md). */
typedef enum _EnumDXNSerializationType {
  DXNSerializationType_NodeText = 1
} EnumDXNSerializationType;

/* Flags: 0x100 indents the output, 0x001 uses CRLF line ends; 257 does both. */
#define DXN_SERIALIZE_FORMATTED 257u

typedef DxnResult (*DxnWriteCallback)(const void* data, uint32_t byteCount, void* context);
/* Fills at most capacity bytes and stores the count read; 0 bytes read ends the input. */
typedef DxnResult (*DxnReadCallback)(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* context);

DXN_API DxnResult DxnStartSerialization(EnumDXNSerializationType type, uint32_t flags, DxnWriteCallback write,
                                        void* callbackContext, DxnSerializationContext** context);
DXN_API DxnResult DxnSerializeNodes(DxnSerializationContext* context, IDXNode* const* nodes, uint32_t count,
                                    uint32_t depth);
DXN_API DxnResult DxnFinalizeSerialization(DxnSerializationContext* context);
DXN_API DxnResult DxnCloseSerializationContext(DxnSerializationContext* context);

DXN_API DxnResult DxnStartDeserialization(EnumDXNSerializationType type, uint32_t flags, DxnReadCallback read,
                                          void* callbackContext, DxnDeserializationContext** context);
/* Delivers up to maxCount top-level nodes of the input per call, in order;
 * *count 0 means the input is exhausted. */
DXN_API DxnResult DxnDeserializeNodes(DxnDeserializationContext* context, IDXNode** nodes, uint32_t maxCount,
                                      uint32_t* count);
DXN_API DxnResult DxnCloseDeserializationContext(DxnDeserializationContext* context);

#if defined(__cplusplus)
}
#endif

#endif /* KESTROVA_DATALAYER_H */
