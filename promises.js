'use strict';

// `require('lc/promises')`: the promise forms of the classes.
module.exports = require('./lib/promises');
