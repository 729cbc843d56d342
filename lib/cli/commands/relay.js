'use strict';

function register(cli) {
  cli.command('relay').description('run a virtual relay (placeholder)').action(() => {});
}
module.exports = { register };
