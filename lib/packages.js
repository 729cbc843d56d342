'use strict';

// Checks of an application package against an installation, shared by
// `lc upload` and the demo.
const { TAGS, model } = require('./models');

/**
 * The pre-flight check: every tile type of the installation needs an image
 * in the package. Returns the message of what is missing, or null.
 */
function missingImages(packageTags, document) {
  const have = new Set(packageTags);
  const missing = new Map(); // tag -> module ids
  for (const module of document) {
    if (model(module.type) && !model(module.type).tile) continue; // a relay takes no image
    const tag = TAGS[module.type] || `type ${module.type}`;
    if (have.has(tag)) continue;
    if (!missing.has(tag)) missing.set(tag, []);
    missing.get(tag).push(module.id);
  }
  if (missing.size === 0) return null;
  const parts = [...missing].map(([tag, ids]) => `${tag} (module${ids.length > 1 ? 's' : ''} ${ids.sort((a, b) => a - b).join(', ')})`);
  return `the package has no image for ${parts.join(' and ')}`;
}

module.exports = { missingImages };
