// The linter's view of our own browser code (review/): plain scripts run as
// they are, so mistakes a browser would only show at run time fail here.
export default [
  {
    files: ['review/**/*.js'],
    languageOptions: {
      ecmaVersion: 2022,
      sourceType: 'script',
      globals: {
        window: 'readonly', document: 'readonly', atob: 'readonly', Blob: 'readonly',
        URL: 'readonly', setTimeout: 'readonly', decodeURI: 'readonly', peaks: 'readonly',
      },
    },
    rules: {
      'no-undef': 'error',
      'no-unused-vars': 'error',
      'no-redeclare': 'error',
      'no-shadow': 'error',
      'no-var': 'error',
      'prefer-const': 'error',
      'eqeqeq': 'error',
      'no-implicit-globals': 'error',
      'no-unreachable': 'error',
      'no-dupe-keys': 'error',
      'no-constant-condition': 'error',
      'semi': ['error', 'always'],
      'strict': ['error', 'function'],
    },
  },
];
