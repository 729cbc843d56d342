#!/usr/bin/env node
'use strict';

// The command-line tool: `lc --help` lists the commands.
const { run } = require('../lib/cli/main');

run(process.argv).then((code) => process.exit(code));
