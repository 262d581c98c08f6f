// Memory for GStreamer buffers in this process's bus, where a server in this process works:
// frames that upstream writes there, or that the element writes its output into, are handed
// to the server without a copy.
#ifndef TAMSA_GST_BUS_MEMORY_H
#define TAMSA_GST_BUS_MEMORY_H

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>

namespace tamsa::gst {

// The allocator (one for the process; a new reference each call). Each memory is one block of
// the bus, freed when the memory is.
GstAllocator *bus_allocator();

// A video buffer pool for frames of those caps whose memory comes from bus_allocator(), with
// min buffers and no maximum; null when the caps are no video.
GstBufferPool *bus_pool(GstCaps *caps, guint min_buffers);

// The bus address of [data, data + length) when it lies in a bus memory of the buffer, else 0.
uint32_t bus_address(GstBuffer *buffer, const void *data, size_t length);

}  // namespace tamsa::gst

#endif
