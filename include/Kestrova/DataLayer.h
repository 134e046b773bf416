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
/* A 64-bit integer read as a 32-bit one whose value does not fit. */
#define DXN_E_ARITHMETIC_OVERFLOW ((DxnResult)0x80070216)
/* DxnAddChild of a node that has a parent, of the parent itself or of one of
 * its ancestors (a cycle). */
#define DXN_E_INVALID_OPERATION ((DxnResult)0x800710DD)
/* A serialization context used after it was finalized or failed. */
#define DXN_E_ILLEGAL_METHOD_CALL ((DxnResult)0x8000000E)
/* A read callback that reports more bytes than it was given room for. */
#define DXN_E_UNEXPECTED ((DxnResult)0x8000FFFF)

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

/* Handles: a node handle is valid until it is closed; duplicates may be
 * closed from any thread. A null handle gives DXN_E_POINTER, a value that is
 * not a live node handle DXN_E_INVALIDARG where it can be recognised.
 * Any number of threads may read one tree at once; writers to one tree
 * (DxnSetNodeType, DxnAddChild, DxnRemoveChild, DxnSetAttribute,
 * DxnDeleteAttribute, and deserialization into it) must be serialised by the
 * caller against each other and against readers. A handle to any node keeps
 * its whole tree alive.
 *
 * Names and types: an absent name or type reads as the empty text. Form 2
 * gives "\" before each name from the topmost ancestor down, where a topmost
 * node without name contributes nothing; a lone topmost node without name
 * reads "\". DxnGetChildByName matches the name as form 0 reads it.
 * DxnGetParent of a topmost node gives DXN_E_NOT_FOUND. DxnGetChildByIndex
 * past the last child gives DXN_E_NOT_FOUND; DxnRemoveChild of a node that is
 * not a child of that parent too.
 *
 * Text reads: a null buffer asks for the size (DXN_E_INSUFFICIENT_BUFFER with
 * the size needed, NUL included).
 *
 * DxnCloneNode: depth 0 copies the node alone, n copies n levels below it
 * (2147483647: the whole subtree); flags must be 0.
 *
 * DxnDuplicateNodeHandle: the duplicate has the value of the given handle
 * (every handle of one node is the same pointer; each is closed once), so
 * handles compare equal exactly when they name the same node. */
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
 * attribute is present. Each of buffer, size and actualType may be null; a
 * buffer without size is DXN_E_INVALIDARG, a size without buffer asks for the
 * size.
 * A requested type must match the stored one, with these exceptions: text
 * types 1 and 2 answer each other; a 64-bit integer (6, 8 bytes) answers
 * a 32-bit read (4) with 4 bytes and actual type 4 when its value fits
 * (DXN_E_ARITHMETIC_OVERFLOW when not); a text read (2) of a 32-bit (4, 4
 * bytes) or 64-bit integer (6, 8 bytes) delivers its decimal text, and of a
 * boolean (7, 1 byte) "true" or "false" (any byte but 0 is true), each with
 * its NUL and actual type 2. Any other mismatch (byte blocks, lists, values
 * of another size) gives DXN_E_TYPE_MISMATCH with actualType set to the
 * stored type.
 * On success and on DXN_E_INSUFFICIENT_BUFFER, actualType receives the type
 * of the value delivered. */
DXN_API DxnResult DxnGetAttribute(IDXNode* node, const DxnChar* name, const uint16_t* requestedType, void* buffer,
                                  uint32_t* size, uint16_t* actualType);
/* Consecutive NUL-terminated names followed by one more NUL; size in
 * characters. A node without attributes gives the single NUL. */
DXN_API DxnResult DxnGetAttributeNames(IDXNode* node, DxnChar* buffer, uint32_t* size);
/* A null name removes every attribute (and succeeds when there is none). */
DXN_API DxnResult DxnDeleteAttribute(IDXNode* node, const DxnChar* name);
/* Creates or replaces the attribute (a replaced one keeps its place); the
 * store copies the bytes. Names are not empty (DXN_E_INVALIDARG), since the
 * name list could not carry an empty one. Any type code and any bytes. */
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
