'use strict';

// What a relay's host may be: a dotted IPv4 address or a host name
// (resolved when connecting). The command line and show files check it the
// same way.

/** Null when `text` is a host, else what is wrong with it. */
function hostProblem(text) {
  const value = String(text);
  const parts = value.split('.');
  if (parts.length === 4 && parts.every((p) => /^\d+$/.test(p))) {
    return parts.every((p) => /^\d{1,3}$/.test(p) && Number(p) <= 255) ? null : 'not a dotted-quad IPv4 address.';
  }
  if (value.length > 253
      || !/^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*$/.test(value)) {
    return 'not an IPv4 address or a host name.';
  }
  return null;
}

module.exports = { hostProblem };
