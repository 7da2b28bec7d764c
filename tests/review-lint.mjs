// Lints the review page's own code (review/*.js) with the project's
// eslint.config.mjs.
//
// Usage: node tests/review-lint.mjs SOURCEDIR
// Exit 0 clean, 1 problems found, 77 skipped (eslint is not installed).
import { join } from 'node:path';

const [source] = process.argv.slice(2);
let ESLint;
try {
  ({ ESLint } = await import('eslint'));
} catch {
  console.log('skipped: eslint is not installed (run scripts/install-deps.sh test)');
  process.exit(77);
}
const eslint = new ESLint({ cwd: source, overrideConfigFile: join(source, 'eslint.config.mjs') });
const results = await eslint.lintFiles(['review/*.js']);
const formatter = await eslint.loadFormatter('stylish');
const text = await formatter.format(results);
if (text) console.log(text);
const problems = results.reduce((n, r) => n + r.errorCount + r.warningCount, 0);
console.log(`${results.length} file(s), ${problems} problem(s)`);
process.exit(problems || results.length === 0 ? 1 : 0);
