// The allocations whose failure the plug-in answers for, behind one seam.
//
// Each site that logs "Not enough memory" or "Out of memory" allocates
// through here, so a test can make exactly that site fail and see the
// daemon answered with SCARD_E_NO_MEMORY. In the product the check is one
// relaxed atomic load. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ScRedirAllocSite : uint32_t {
  kIoRequest,    // the I/O request record
  kEncodedCall,  // the copy of the encoded call
  kPacket,       // the framed device I/O request
  kKeptMessage,  // the daemon message kept until its completion
  kAnnounce,     // the agent announce
  kOutputCopy,   // the copy of a completion's output the codec reads
  kReply,        // the reply to the daemon
  kMapBlock,     // the client bytes behind a new fake id
  kSession,      // the session of a newly opened channel
  kCount,
};

// g_try_malloc / g_try_malloc0 / malloc, or null when the site is made to fail.
void* ScRedir_TryMalloc(ScRedirAllocSite site, size_t size);
void* ScRedir_TryMalloc0(ScRedirAllocSite site, size_t size);
void* ScRedir_Malloc(ScRedirAllocSite site, size_t size);
bool ScRedir_AllocFails(ScRedirAllocSite site);

// Tests: the next `times` allocations at `site` fail (0 clears every site).
void ScRedir_FailAllocForTest(ScRedirAllocSite site, int times);
